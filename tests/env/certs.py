"""Test certificates, generated with openssl on first use in the build tree.

One trusted test CA signs the server certificates of the test host names; a
second CA, never trusted, signs a certificate for the app host; and the
trusted CA also signs a certificate for a name that is not the app host. The
keys are throwaway keys of the build tree: nothing outside the build's Wine
prefix trusts the CA.
"""

import fcntl
import os
import subprocess

APP_HOST = "app.lumaret.test"
ADDRESS_HOST = "ip.echo.test"
VENDOR_DOMAINS = ("corvane.test", "corvanestatic.test", "corvaneusercontent.test")

# Certificate name -> (signing CA, DNS names).
LEAF_CERTIFICATES = {
    "app": ("ca", [APP_HOST]),
    "address": ("ca", [ADDRESS_HOST]),
    "vendor": ("ca", [n for d in VENDOR_DOMAINS for n in (d, "*." + d)]),
    "app-untrusted": ("untrusted-ca", [APP_HOST]),
    "app-wrong-name": ("ca", ["other.lumaret.test"]),
}


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _make_ca(directory, name, subject):
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
             "-keyout", name + ".key", "-out", name + ".pem", "-subj", "/CN=" + subject,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)


def _make_leaf(directory, name, ca, dns_names, serial):
    extensions = os.path.join(directory, name + ".ext")
    with open(extensions, "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=" + ",".join("DNS:" + n for n in dns_names) + "\n")
    _openssl("req", "-new", "-key", "leaf.key", "-subj", "/CN=" + dns_names[0],
             "-out", name + ".csr", cwd=directory)
    _openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
             "-set_serial", str(serial), "-days", "825", "-sha256", "-extfile", extensions,
             "-out", name + ".pem", cwd=directory)


def ensure_certificates(build_dir):
    """Returns the directory of the test certificates in build_dir, creating
    them when they are missing. Safe when several tests call it at once."""
    directory = os.path.join(build_dir, "test-certificates")
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(directory, "complete")):
            _make_ca(directory, "ca", "Lumaret Test CA")
            _make_ca(directory, "untrusted-ca", "Lumaret Untrusted Test CA")
            _openssl("genrsa", "-out", "leaf.key", "2048", cwd=directory)
            for serial, (name, (ca, dns_names)) in enumerate(sorted(LEAF_CERTIFICATES.items()), 1000):
                _make_leaf(directory, name, ca, dns_names, serial)
            _openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=directory)
            open(os.path.join(directory, "complete"), "w").close()
    return directory


def certificate_paths(directory, name):
    """Returns (certificate file, key file) of a leaf certificate."""
    return os.path.join(directory, name + ".pem"), os.path.join(directory, "leaf.key")
