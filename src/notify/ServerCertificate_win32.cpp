// Trust in the TLS server's certificate, judged by the system's chain engine.
#define WIN32_LEAN_AND_MEAN
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/WinApi_win32.h"
#include "notify/MimeMessage.h"
#include "notify/ServerCertificate_win32.h"
#include "notify/TlsConnection_win32.h"

namespace vel {

namespace {

using win::Wide;

// The SSL policy's flag for "the root is not in the system store" (wininet.h spells it).
constexpr DWORD kIgnoreUnknownCa = 0x00000100;

// Certificates of a PEM file in a memory store; nullptr (with the reason) when none are read.
HCERTSTORE LoadCaFile(const std::string& path, std::string& error) {
  std::ifstream in(std::filesystem::path(Wide(path)), std::ios::binary);
  if (!in) {
    error = "the CA file " + path + " cannot be read";
    return nullptr;
  }
  std::stringstream content;
  content << in.rdbuf();
  const std::string pem = content.str();
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  int count = 0;
  const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
  for (size_t pos = pem.find(begin); pos != std::string::npos; pos = pem.find(begin, pos)) {
    size_t stop = pem.find(end, pos);
    if (stop == std::string::npos) break;
    std::string der = Base64Decode(pem.substr(pos + begin.size(), stop - pos - begin.size()));
    if (CertAddEncodedCertificateToStore(
            store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
            static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr))
      ++count;
    pos = stop + end.size();
  }
  if (count == 0) {
    CertCloseStore(store, 0);
    error = "the CA file " + path + " holds no certificate";
    return nullptr;
  }
  return store;
}

// True when host is an IP address that the certificate names among its alternative names.
bool CertificateHoldsIp(PCCERT_CONTEXT cert, const std::string& host) {
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
    bare = bare.substr(1, bare.size() - 2);
  unsigned char address[16];
  DWORD size = 0;
  if (inet_pton(AF_INET, bare.c_str(), address) == 1)
    size = 4;
  else if (inet_pton(AF_INET6, bare.c_str(), address) == 1)
    size = 16;
  else
    return false;
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                          cert->pCertInfo->rgExtension);
  if (!ext) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD length = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                           ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &length))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == size &&
            std::equal(address, address + size, e.IPAddress.pbData);
  }
  LocalFree(names);
  return found;
}

}  // namespace

std::string CheckServerCertificate(CtxtHandle* context, const std::string& host,
                                   const std::string& caFile) {
  PCCERT_CONTEXT server = nullptr;
  SECURITY_STATUS st = QueryContextAttributesW(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
  if (st != SEC_E_OK || !server) return "the server sent no certificate";
  std::string error;
  HCERTSTORE extra = nullptr;
  HCERTSTORE cas = nullptr;
  if (!caFile.empty()) {
    cas = LoadCaFile(caFile, error);
    if (!cas) {
      CertFreeCertificateContext(server);
      return error;
    }
    extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    CertAddStoreToCollection(extra, cas, 0, 0);
    CertAddStoreToCollection(extra, server->hCertStore, 0, 0);
  }
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, server, nullptr, extra ? extra : server->hCertStore, &para,
                               0, nullptr, &chain)) {
    error = "the certificate chain cannot be built: " + WinErrorText(GetLastError());
  } else {
    DWORD status = chain->TrustStatus.dwErrorStatus;
    bool rootFromCaFile = false;
    if (cas && chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
      PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
      PCCERT_CONTEXT found =
          CertFindCertificateInStore(cas, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
      if (found) {
        rootFromCaFile = true;
        CertFreeCertificateContext(found);
      }
    }
    // With a CA file, the root it names is trusted although the system does not know it.
    if (rootFromCaFile) status &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    // Revocation is not asked for; an unknown status is no verdict.
    status &= ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                  CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (status != 0) {
      char hex[16];
      snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
      error = (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
                  ? "the server's certificate is not issued by a trusted authority"
                  : std::string("the server's certificate chain is not valid (") + hex + ")";
    } else {
      // An IP address is matched against the certificate's IP entries here: the
      // system's check compares names only.
      const bool ipMatched = CertificateHoldsIp(server, host);
      std::wstring name = Wide(host);
      SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
      ssl.cbSize = sizeof ssl;
      ssl.dwAuthType = AUTHTYPE_SERVER;
      ssl.fdwChecks = rootFromCaFile ? kIgnoreUnknownCa : 0;
      ssl.pwszServerName = ipMatched ? nullptr : name.data();
      CERT_CHAIN_POLICY_PARA policy{};
      policy.cbSize = sizeof policy;
      policy.dwFlags = rootFromCaFile ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
      policy.pvExtraPolicyPara = &ssl;
      CERT_CHAIN_POLICY_STATUS result{};
      result.cbSize = sizeof result;
      if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result))
        error = "the certificate cannot be checked: " + WinErrorText(GetLastError());
      else if (result.dwError != 0)
        error = "the server's certificate does not hold for " + host + ": " +
                WinErrorText(result.dwError);
    }
    CertFreeCertificateChain(chain);
  }
  if (extra) CertCloseStore(extra, 0);
  if (cas) CertCloseStore(cas, 0);
  CertFreeCertificateContext(server);
  return error;
}

}  // namespace vel
