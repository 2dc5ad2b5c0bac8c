// Test helper: adds a DER certificate to the machine's trusted root store, so
// that the test prefix trusts the end-to-end tests' own certificate authority.
// Usage: add_root_ca.exe <certificate.der>. Exit code 0 on success, 1 otherwise.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: add_root_ca <certificate.der>\n");
    return 1;
  }
  FILE* file = fopen(argv[1], "rb");
  if (file == nullptr) {
    fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  static unsigned char der[65536];
  size_t length = fread(der, 1, sizeof(der), file);
  fclose(file);
  if (length == 0 || length == sizeof(der)) {
    fprintf(stderr, "unexpected certificate size\n");
    return 1;
  }
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
  if (store == nullptr) {
    fprintf(stderr, "cannot open the ROOT store (%lu)\n", GetLastError());
    return 1;
  }
  BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der,
                                                static_cast<DWORD>(length),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  if (!added) fprintf(stderr, "cannot add the certificate (%lu)\n", GetLastError());
  CertCloseStore(store, 0);
  return added ? 0 : 1;
}
