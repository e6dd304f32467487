// Test helper: makes the Wine prefix trust a certificate as a root, the way
// an administrator would add one to the machine's "ROOT" store. Accepts DER
// or PEM. Usage: trust_root.exe CERT_FILE
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<BYTE> to_der(const std::vector<char>& file) {
  DWORD size = 0;
  if (CryptStringToBinaryA(file.data(), static_cast<DWORD>(file.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                           nullptr, nullptr)) {
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(file.data(), static_cast<DWORD>(file.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                             nullptr, nullptr)) {
      der.resize(size);
      return der;
    }
  }
  return std::vector<BYTE>(file.begin(), file.end());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trust_root CERT_FILE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    std::fprintf(stderr, "cannot read the certificate file\n");
    return 1;
  }
  const std::vector<BYTE> der = to_der(file);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, L"ROOT");
  if (store == nullptr) {
    std::fprintf(stderr, "CertOpenStore failed (Error: %lu)\n", GetLastError());
    return 1;
  }
  const BOOL added = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    std::fprintf(stderr, "CertAddEncodedCertificateToStore failed (Error: %lu)\n", error);
    return 1;
  }
  std::printf("trusted\n");
  return 0;
}
