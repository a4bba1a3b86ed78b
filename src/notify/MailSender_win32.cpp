// The SMTP conversation over one Winsock connection, with Schannel for TLS.
#define WIN32_LEAN_AND_MEAN
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first
#include <bcrypt.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "common/Exception.h"
#include "common/WinApi_win32.h"
#include "notify/MailSender.h"
#include "notify/MimeMessage.h"
#include "notify/SmtpTexts.h"

namespace vel {

namespace {

using Clock = std::chrono::steady_clock;
using win::Wide;

constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
constexpr auto kReplyTimeout = std::chrono::seconds(60);
// The port where SMTP runs inside TLS from the first byte.
constexpr int kImplicitTlsPort = 465;
// The SSL policy's flag for "the root is not in the system store" (wininet.h spells it).
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
// A reply longer than this is not an SMTP server talking.
constexpr size_t kMaxReplyBytes = 64 * 1024;

// An error of the conversation; `connecting` is true until the login or the envelope starts.
struct TSmtpFailure {
  std::string reason;
  std::string reply;  // the server's negative reply, when there was one
};

// The system's text for an error code (Winsock, SSPI and certificate codes alike).
std::string SystemText(DWORD code) {
  switch (code) {  // the words the Linux build uses for the common socket errors
    case WSAECONNREFUSED:
      return "Connection refused";
    case WSAENETUNREACH:
      return "Network is unreachable";
    case WSAEHOSTUNREACH:
      return "No route to host";
    case WSAECONNRESET:
      return "Connection reset by peer";
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return "the name does not match the certificate";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "the certificate has expired";
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
      return "the root is not trusted";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
      return "the certificate is not for servers";
    default:
      break;
  }
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n && buffer) text = win::Narrow(std::wstring_view(buffer, n));
  if (buffer) LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  return text.empty() ? std::string("error ") + hex : text + " (" + hex + ")";
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; });
  return s;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char ch : text) {
    int d;
    if (ch >= 'A' && ch <= 'Z')
      d = ch - 'A';
    else if (ch >= 'a' && ch <= 'z')
      d = ch - 'a' + 26;
    else if (ch >= '0' && ch <= '9')
      d = ch - '0' + 52;
    else if (ch == '+')
      d = 62;
    else if (ch == '/')
      d = 63;
    else
      continue;  // padding and blanks
    value = (value << 6) | static_cast<unsigned>(d);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return out;
}

// HMAC-MD5 of data with key, as lower-case hex (the CRAM-MD5 answer).
bool HmacMd5Hex(const std::string& key, const std::string& data, std::string& hex) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr,
                                  BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0)
    return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[16];
  bool ok = BCryptCreateHash(alg, &hash, nullptr, 0,
                             reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                             static_cast<ULONG>(key.size()), 0) == 0 &&
            BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                           static_cast<ULONG>(data.size()), 0) == 0 &&
            BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(alg, 0);
  if (!ok) return false;
  static const char* digits = "0123456789abcdef";
  hex.clear();
  for (unsigned char b : digest) hex += {digits[b >> 4], digits[b & 15]};
  return true;
}

void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);  // stays up for the life of the process
  });
}

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

// One connection: the socket, the TLS context when TLS runs, and the bytes read but not yet
// used. Every wait is bounded by a deadline.
struct TVelMailSender::TConnection {
  SOCKET sock = INVALID_SOCKET;
  bool tls = false;
  bool haveCredentials = false;
  bool haveContext = false;
  CredHandle credentials{};
  CtxtHandle context{};
  SecPkgContext_StreamSizes sizes{};
  std::string raw;                        // received bytes not yet decrypted (TLS) or not yet read
  std::string plain;                      // decrypted bytes not yet read
  std::vector<TConnectAttempt> attempts;  // each address tried, when none connected
  bool resolved = false;                  // the host name gave addresses
  bool closed = false;                    // the server ended the connection
  std::string mechanisms;                 // " PLAIN LOGIN ": what the server offers for the login
  bool offersStartTls = false;
  bool loggedIn = false;

  ~TConnection() { Close(false); }

  void Close(bool sayGoodbye) {
    if (sayGoodbye && sock != INVALID_SOCKET && !closed) {
      try {
        Command("QUIT", Clock::now() + std::chrono::seconds(5));
      } catch (const TSmtpFailure&) {
      }
    }
    if (haveContext) {
      if (sayGoodbye && !closed) SendCloseNotify();
      DeleteSecurityContext(&context);
      haveContext = false;
    }
    if (haveCredentials) {
      FreeCredentialsHandle(&credentials);
      haveCredentials = false;
    }
    if (sock != INVALID_SOCKET) {
      closesocket(sock);
      sock = INVALID_SOCKET;
    }
    tls = false;
    raw.clear();
    plain.clear();
    mechanisms.clear();
    offersStartTls = false;
    loggedIn = false;
  }

  // Connects to the first of the host's addresses that takes the connection, each tried
  // within timeoutS; when none does, attempts says what happened to each.
  bool Open(const std::string& host, int port, int timeoutS) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
      bare = bare.substr(1, bare.size() - 2);
    attempts.clear();
    resolved = getaddrinfo(bare.c_str(), std::to_string(port).c_str(), &hints, &list) == 0;
    if (!resolved) return false;
    for (addrinfo* a = list; a; a = a->ai_next) {
      char name[INET6_ADDRSTRLEN] = "?";
      getnameinfo(a->ai_addr, static_cast<int>(a->ai_addrlen), name, sizeof name, nullptr, 0,
                  NI_NUMERICHOST);
      SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
      if (s == INVALID_SOCKET) {
        attempts.push_back({name, SystemText(WSAGetLastError())});
        continue;
      }
      u_long nonBlocking = 1;
      ioctlsocket(s, FIONBIO, &nonBlocking);
      int err = 0;
      if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
          fd_set writable, failed;
          FD_ZERO(&writable);
          FD_ZERO(&failed);
          FD_SET(s, &writable);
          FD_SET(s, &failed);
          timeval tv{timeoutS, 0};
          int n = select(0, nullptr, &writable, &failed, &tv);
          if (n == 0) {
            err = WSAETIMEDOUT;
          } else if (n < 0) {
            err = WSAGetLastError();
          } else {
            int len = sizeof err;
            err = 0;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
            if (err == 0 && FD_ISSET(s, &failed)) err = WSAECONNREFUSED;
          }
        }
      }
      if (err == 0) {
        sock = s;
        freeaddrinfo(list);
        return true;
      }
      closesocket(s);
      attempts.push_back(
          {name, err == WSAETIMEDOUT ? ConnectTimeoutText(timeoutS) : SystemText(err)});
    }
    freeaddrinfo(list);
    return false;
  }

  // Waits until the socket can be read (or written) or the deadline passes.
  void Wait(bool forWriting, Clock::time_point deadline) {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) throw TSmtpFailure{"Timeout: the server did not answer in time", ""};
      fd_set set;
      FD_ZERO(&set);
      FD_SET(sock, &set);
      timeval tv{static_cast<long>(left.count() / 1000),
                 static_cast<long>(left.count() % 1000) * 1000};
      int n = select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr, &tv);
      if (n > 0) return;
      if (n < 0) throw TSmtpFailure{"Socket error: " + SystemText(WSAGetLastError()), ""};
    }
  }

  void SendRaw(const char* data, size_t size, Clock::time_point deadline) {
    while (size > 0) {
      int n = send(sock, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      int err = WSAGetLastError();
      if (err != WSAEWOULDBLOCK) {
        closed = true;
        throw TSmtpFailure{"Failed sending data to the peer: " + SystemText(err), ""};
      }
      Wait(true, deadline);
    }
  }

  // Appends what the socket has to raw, waiting for at least one byte.
  void ReceiveRaw(Clock::time_point deadline) {
    char buffer[16384];
    for (;;) {
      int n = recv(sock, buffer, sizeof buffer, 0);
      if (n > 0) {
        raw.append(buffer, static_cast<size_t>(n));
        return;
      }
      if (n == 0) {
        closed = true;
        throw TSmtpFailure{
            "Failure when receiving data from the peer: the server closed the "
            "connection",
            ""};
      }
      int err = WSAGetLastError();
      if (err != WSAEWOULDBLOCK) {
        closed = true;
        throw TSmtpFailure{"Failure when receiving data from the peer: " + SystemText(err), ""};
      }
      Wait(false, deadline);
    }
  }

  // --- TLS -------------------------------------------------------------------------------

  [[noreturn]] void TlsFailure(const std::string& what, SECURITY_STATUS status) {
    throw TSmtpFailure{"TLS " + what + " failed: " + SystemText(static_cast<DWORD>(status)), ""};
  }

  void SendToken(SecBuffer& token, Clock::time_point deadline) {
    if (token.cbBuffer > 0 && token.pvBuffer) {
      std::string bytes(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
      FreeContextBuffer(token.pvBuffer);
      token.pvBuffer = nullptr;
      SendRaw(bytes.data(), bytes.size(), deadline);
    } else if (token.pvBuffer) {
      FreeContextBuffer(token.pvBuffer);
      token.pvBuffer = nullptr;
    }
  }

  // TLS 1.2 or newer over the connected socket; the certificate is checked afterwards.
  void StartTls(const std::string& host) {
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    SECURITY_STATUS st =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &cred, nullptr, nullptr, &credentials, nullptr);
    if (st != SEC_E_OK) TlsFailure("set-up", st);
    haveCredentials = true;

    const DWORD request = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                          ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                          ISC_REQ_MANUAL_CRED_VALIDATION;
    std::wstring target = Wide(host);
    const auto deadline = Clock::now() + kHandshakeTimeout;
    bool first = true;
    for (;;) {
      SecBuffer in[2] = {{static_cast<unsigned long>(raw.size()), SECBUFFER_TOKEN, raw.data()},
                         {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
      unsigned long attributes = 0;
      st = InitializeSecurityContextW(&credentials, first ? nullptr : &context, target.data(),
                                      request, 0, 0, first ? nullptr : &inDesc, 0, &context,
                                      &outDesc, &attributes, nullptr);
      if (first && (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED)) haveContext = true;
      first = false;
      if (st == SEC_E_INCOMPLETE_MESSAGE) {
        ReceiveRaw(deadline);
        continue;
      }
      SendToken(out[0], deadline);
      if (st != SEC_E_OK && st != SEC_I_CONTINUE_NEEDED && st != SEC_I_INCOMPLETE_CREDENTIALS)
        TlsFailure("handshake", st);
      // The server asks for a client certificate: there is none, so the same input is given
      // again and the handshake goes on without one.
      if (st == SEC_I_INCOMPLETE_CREDENTIALS) continue;
      // Bytes of the next record that came with the last handshake message stay in raw.
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0)
        raw.erase(0, raw.size() - in[1].cbBuffer);
      else
        raw.clear();
      if (st == SEC_E_OK) break;
      if (st == SEC_I_CONTINUE_NEEDED && raw.empty()) ReceiveRaw(deadline);
    }
    st = QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (st != SEC_E_OK) TlsFailure("set-up", st);
    tls = true;
  }

  // Verifies the server's chain (against caFile when set, else the system store) and that
  // the certificate was issued for host. Empty when all is well, otherwise the reason.
  std::string CheckCertificate(const std::string& host, const std::string& caFile) {
    PCCERT_CONTEXT server = nullptr;
    SECURITY_STATUS st =
        QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
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
    if (!CertGetCertificateChain(nullptr, server, nullptr, extra ? extra : server->hCertStore,
                                 &para, 0, nullptr, &chain)) {
      error = "the certificate chain cannot be built: " + SystemText(GetLastError());
    } else {
      DWORD status = chain->TrustStatus.dwErrorStatus;
      bool rootFromCaFile = false;
      if (cas && chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        PCCERT_CONTEXT found = CertFindCertificateInStore(cas, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_EXISTING, root, nullptr);
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
          error = "the certificate cannot be checked: " + SystemText(GetLastError());
        else if (result.dwError != 0)
          error = "the server's certificate does not hold for " + host + ": " +
                  SystemText(result.dwError);
      }
      CertFreeCertificateChain(chain);
    }
    if (extra) CertCloseStore(extra, 0);
    if (cas) CertCloseStore(cas, 0);
    CertFreeCertificateContext(server);
    return error;
  }

  void SendCloseNotify() {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer in[1] = {{sizeof type, SECBUFFER_TOKEN, &type}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, in};
    if (ApplyControlToken(&context, &inDesc) != SEC_E_OK) return;
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
    unsigned long attributes = 0;
    InitializeSecurityContextW(&credentials, &context, nullptr,
                               ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                   ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                   ISC_REQ_STREAM,
                               0, 0, nullptr, 0, &context, &outDesc, &attributes, nullptr);
    try {
      SendToken(out[0], Clock::now() + std::chrono::seconds(2));
    } catch (const TSmtpFailure&) {
    }
  }

  // --- Plain or TLS ----------------------------------------------------------------------

  void Write(const std::string& data, Clock::time_point deadline) {
    if (!tls) return SendRaw(data.data(), data.size(), deadline);
    for (size_t pos = 0; pos < data.size();) {
      size_t chunk = std::min<size_t>(data.size() - pos, sizes.cbMaximumMessage);
      std::string record(sizes.cbHeader + chunk + sizes.cbTrailer, '\0');
      std::copy_n(data.data() + pos, chunk, record.data() + sizes.cbHeader);
      SecBuffer b[4] = {
          {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record.data() + sizes.cbHeader},
          {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + chunk},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      SECURITY_STATUS st = EncryptMessage(&context, 0, &desc, 0);
      if (st != SEC_E_OK) TlsFailure("encryption", st);
      SendRaw(record.data(), b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer, deadline);
      pos += chunk;
    }
  }

  // Adds at least one byte to plain.
  void Read(Clock::time_point deadline) {
    if (!tls) {
      ReceiveRaw(deadline);
      plain += raw;
      raw.clear();
      return;
    }
    for (;;) {
      if (!raw.empty()) {
        SecBuffer b[4] = {{static_cast<unsigned long>(raw.size()), SECBUFFER_DATA, raw.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS st = DecryptMessage(&context, &desc, 0, nullptr);
        if (st == SEC_E_OK || st == SEC_I_CONTEXT_EXPIRED || st == SEC_I_RENEGOTIATE) {
          std::string extra;
          size_t before = plain.size();
          for (auto& x : b) {
            if (x.BufferType == SECBUFFER_DATA && x.cbBuffer > 0)
              plain.append(static_cast<const char*>(x.pvBuffer), x.cbBuffer);
            if (x.BufferType == SECBUFFER_EXTRA && x.cbBuffer > 0)
              extra.assign(static_cast<const char*>(x.pvBuffer), x.cbBuffer);
          }
          raw = extra;
          if (st == SEC_I_CONTEXT_EXPIRED) {
            closed = true;
            throw TSmtpFailure{"Failure when receiving data from the peer: the server ended TLS",
                               ""};
          }
          if (st == SEC_I_RENEGOTIATE)
            throw TSmtpFailure{"TLS renegotiation asked by the server is not supported", ""};
          if (plain.size() > before) return;
          continue;  // a record without application data (a session ticket, say)
        }
        if (st != SEC_E_INCOMPLETE_MESSAGE) TlsFailure("decryption", st);
      }
      ReceiveRaw(deadline);
    }
  }

  // --- SMTP ------------------------------------------------------------------------------

  TSmtpReply ReadReply(Clock::time_point deadline) {
    TSmtpReply r;
    for (;;) {
      size_t eol;
      while ((eol = plain.find('\n')) == std::string::npos) {
        if (plain.size() > kMaxReplyBytes) throw TSmtpFailure{"The server's reply is too long", ""};
        Read(deadline);
      }
      std::string line = plain.substr(0, eol);
      plain.erase(0, eol + 1);
      if (!r.Add(line)) throw TSmtpFailure{"Weird server reply", OneLine(line)};
      if (r.Complete()) return r;
      if (r.Lines().size() > 1000) throw TSmtpFailure{"The server's reply is too long", ""};
    }
  }

  TSmtpReply Command(const std::string& line, Clock::time_point deadline) {
    Write(line + "\r\n", deadline);
    return ReadReply(deadline);
  }
};

TVelMailSender::TVelMailSender(std::string host, int port, TSMTPAuthenticationType authType)
    : FPort(port),
      FHost(std::move(host)),
      FCaFile(DefaultCaFile()),
      FAuthenticationType(authType) {}

TVelMailSender::~TVelMailSender() {
  if (FSMTP) FSMTP->Close(true);
}

void TVelMailSender::Connect() {
  if (!FSMTP) FSMTP = std::make_unique<TConnection>();
  TConnection& c = *FSMTP;
  if (c.sock != INVALID_SOCKET && !c.closed) {
    // A kept connection the server has ended meanwhile is made again.
    fd_set set;
    FD_ZERO(&set);
    FD_SET(c.sock, &set);
    timeval now{0, 0};
    if (select(0, &set, nullptr, nullptr, &now) == 0) return;
  }
  c.Close(false);
  c.closed = false;
  StartWinsock();
  if (!c.Open(FHost, FPort, FConnectTimeout))
    RaiseError("Could not connect to SMTP server.\r\nReason: " +
               (c.resolved ? ConnectFailureText(FHost, FPort, c.attempts)
                           : "Could not resolve host: " + FHost));

  const bool implicitTls = FUseTLS && FPort == kImplicitTlsPort;
  try {
    auto deadline = [] { return Clock::now() + kReplyTimeout; };
    auto tls = [&] {
      c.StartTls(FHost);
      if (FVerifyCertificate) {
        std::string problem = c.CheckCertificate(FHost, FCaFile);
        if (!problem.empty()) throw TSmtpFailure{problem, ""};
      }
    };
    if (implicitTls) tls();
    TSmtpReply r;
    if (PlainOnImplicitTlsPort()) {
      // A server there that waits for a TLS handshake never greets: it is not waited for
      // longer than a connection.
      try {
        r = c.ReadReply(Clock::now() + std::chrono::seconds(FConnectTimeout));
      } catch (const TSmtpFailure&) {
        throw TSmtpFailure{"the server did not greet within " + std::to_string(FConnectTimeout) +
                               " s; port 465 expects TLS (UseTLS=1)",
                           ""};
      }
    } else {
      r = c.ReadReply(deadline());
    }
    if (r.Code() != 220)
      throw TSmtpFailure{"Got unexpected greeting " + std::to_string(r.Code()), r.Text()};
    char local[256] = "localhost";
    if (gethostname(local, sizeof local) != 0) strcpy(local, "localhost");
    r = c.Command(std::string("EHLO ") + local, deadline());
    if (r.Code() / 100 != 2) {
      r = c.Command(std::string("HELO ") + local, deadline());
      if (r.Code() / 100 != 2)
        throw TSmtpFailure{"Remote access denied: " + std::to_string(r.Code()), r.Text()};
    }
    for (size_t i = 1; i < r.Lines().size(); ++i)
      if (Upper(r.Lines()[i]) == "STARTTLS") c.offersStartTls = true;
    if (FUseTLS && !implicitTls) {
      if (!c.offersStartTls)
        throw TSmtpFailure{
            "the server does not offer STARTTLS, and UseTLS does not allow plain text", ""};
      TSmtpReply s = c.Command("STARTTLS", deadline());
      if (s.Code() != 220) throw TSmtpFailure{"STARTTLS denied", s.Text()};
      if (!c.raw.empty() || !c.plain.empty())
        throw TSmtpFailure{"the server sent data before the TLS handshake", ""};
      tls();
      r = c.Command(std::string("EHLO ") + local, deadline());
      if (r.Code() / 100 != 2)
        throw TSmtpFailure{"Remote access denied: " + std::to_string(r.Code()), r.Text()};
    }
    // The login mechanisms the server offers, each between blanks.
    for (size_t i = 1; i < r.Lines().size(); ++i) {
      std::string line = Upper(r.Lines()[i]);
      if (line.rfind("AUTH ", 0) == 0 || line.rfind("AUTH=", 0) == 0)
        c.mechanisms += " " + line.substr(5) + " ";
    }
  } catch (const TSmtpFailure& f) {
    c.Close(false);
    RaiseError("Could not connect to SMTP server.\r\nReason: " + f.reason +
               (f.reply.empty() ? "" : " (" + f.reply + ")"));
  }
}

std::vector<TRefusedRecipient> TVelMailSender::Transfer(const std::vector<TMailAddress>& recipients,
                                                        const std::string& message) {
  Connect();
  TConnection& c = *FSMTP;
  auto deadline = [] { return Clock::now() + kReplyTimeout; };
  auto offered = [&](const char* name) {
    return c.mechanisms.find(std::string(" ") + name + " ") != std::string::npos;
  };
  std::vector<TRefusedRecipient> refused;
  try {
    // A configured login that cannot happen stops the message: a relay that takes it
    // unauthenticated may bounce it later.
    if (FAuthenticationType != satNone && !c.loggedIn &&
        (!c.mechanisms.empty() || LoginConfigured())) {
      // The strongest of those needing no more than a user name and a password.
      std::string mechanism;
      if (FAuthenticationType == satSASL && offered("CRAM-MD5"))
        mechanism = "CRAM-MD5";
      else if (offered("PLAIN"))
        mechanism = "PLAIN";
      else if (offered("LOGIN"))
        mechanism = "LOGIN";
      if (mechanism.empty()) {
        const std::string reason = NoLoginText(c.mechanisms, c.offersStartTls && !c.tls);
        c.Close(true);
        RaiseError("Could not connect to SMTP server.\r\nReason: " + reason);
      }
      TSmtpReply r;
      if (mechanism == "PLAIN") {
        r = c.Command("AUTH PLAIN " + Base64(std::string(1, '\0') + FUsername + '\0' + FPassword),
                      deadline());
      } else if (mechanism == "LOGIN") {
        r = c.Command("AUTH LOGIN", deadline());
        if (r.Code() == 334) r = c.Command(Base64(FUsername), deadline());
        if (r.Code() == 334) r = c.Command(Base64(FPassword), deadline());
      } else {
        r = c.Command("AUTH CRAM-MD5", deadline());
        if (r.Code() == 334) {
          std::string digest;
          if (!HmacMd5Hex(FPassword, Base64Decode(r.Lines().empty() ? "" : r.Lines()[0]), digest)) {
            c.Command("*", deadline());
            throw TSmtpFailure{"CRAM-MD5 cannot be computed on this system", ""};
          }
          r = c.Command(Base64(FUsername + " " + digest), deadline());
        }
      }
      if (r.Code() != 235) throw TSmtpFailure{"Login denied", r.Text()};
      c.loggedIn = true;
    }
    TSmtpReply r = c.Command("MAIL FROM:<" + FFromAddress + ">", deadline());
    if (r.Code() / 100 != 2)
      throw TSmtpFailure{"MAIL failed: " + std::to_string(r.Code()), r.Text()};
    // A refused recipient is left out; the others still get the message.
    for (const auto& to : recipients) {
      r = c.Command("RCPT TO:<" + to.Address + ">", deadline());
      if (r.Code() / 100 != 2) refused.push_back({to.Address, r.Text()});
    }
    if (refused.size() == recipients.size()) {
      c.Close(true);
      RaiseNoneAccepted(refused);
    }
    r = c.Command("DATA", deadline());
    if (r.Code() != 354) throw TSmtpFailure{"DATA failed: " + std::to_string(r.Code()), r.Text()};
    // Lines that begin with a dot get a second one; the message ends with a dot on its own.
    std::string data;
    data.reserve(message.size() + message.size() / 64 + 8);
    bool lineStart = true;
    for (char ch : message) {
      if (lineStart && ch == '.') data += '.';
      data += ch;
      lineStart = ch == '\n';
    }
    if (!data.empty() && data.back() != '\n') data += "\r\n";
    data += ".\r\n";
    c.Write(data, deadline());
    r = c.ReadReply(deadline());
    if (r.Code() / 100 != 2)
      throw TSmtpFailure{"Failed sending data to the peer: " + std::to_string(r.Code()), r.Text()};
  } catch (const TSmtpFailure& f) {
    // The connection is in an unknown state after a failure: it is not kept.
    c.Close(!c.closed);
    std::string reason = f.reason;
    if (!f.reply.empty()) reason += "\r\nServer reply: " + f.reply;
    throw Exception(Masked(reason));
  }
  if (!FKeepConnected) c.Close(true);
  return refused;
}

}  // namespace vel
