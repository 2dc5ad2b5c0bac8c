# Install step of the package: writes <program>.sha256 beside the installed
# program, in the "<hash>  <file name>" form that sha256sum -c reads, with a
# Windows line end. LUMARET_PACKAGE_PROGRAM names the program's file.
set(program_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(SHA256 "${program_dir}/${LUMARET_PACKAGE_PROGRAM}" program_hash)
file(WRITE "${program_dir}/${LUMARET_PACKAGE_PROGRAM}.sha256"
     "${program_hash}  ${LUMARET_PACKAGE_PROGRAM}\r\n")
message(STATUS "SHA-256 of ${LUMARET_PACKAGE_PROGRAM}: ${program_hash}")
