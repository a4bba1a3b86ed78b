// A TCP connection to a server, plain or inside TLS: the Schannel handshake and record layer.
#include "notify/TlsConnection_win32.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "common/WinApi_win32.h"

namespace vel {

namespace {

using win::Wide;

constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
const DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                              ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                              ISC_REQ_MANUAL_CRED_VALIDATION;
const DWORD kCredentialFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;

}  // namespace

std::string WinErrorText(DWORD code) {
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

void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);  // stays up for the life of the process
  });
}

// Connects to the first of the host's addresses that takes the connection, each tried
// within timeoutS; when none does, attempts says what happened to each.
bool TTlsConnection::Open(const std::string& host, int port, int timeoutS) {
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
      attempts.push_back({name, WinErrorText(WSAGetLastError())});
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
        {name, err == WSAETIMEDOUT ? ConnectTimeoutText(timeoutS) : WinErrorText(err)});
  }
  freeaddrinfo(list);
  return false;
}

// Waits until the socket can be read (or written) or the deadline passes.
void TTlsConnection::Wait(bool forWriting, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
      throw TConnectionFailure{"Timeout: the server did not answer in time", ""};
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock, &set);
    timeval tv{static_cast<long>(left.count() / 1000),
               static_cast<long>(left.count() % 1000) * 1000};
    int n = select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr, &tv);
    if (n > 0) return;
    if (n < 0) throw TConnectionFailure{"Socket error: " + WinErrorText(WSAGetLastError()), ""};
  }
}

void TTlsConnection::SendRaw(const char* data, size_t size, Clock::time_point deadline) {
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
      throw TConnectionFailure{"Failed sending data to the peer: " + WinErrorText(err), ""};
    }
    Wait(true, deadline);
  }
}

// Appends what the socket has to raw, waiting for at least one byte.
void TTlsConnection::ReceiveRaw(Clock::time_point deadline) {
  char buffer[16384];
  for (;;) {
    int n = recv(sock, buffer, sizeof buffer, 0);
    if (n > 0) {
      raw.append(buffer, static_cast<size_t>(n));
      return;
    }
    if (n == 0) {
      closed = true;
      throw TConnectionFailure{
          "Failure when receiving data from the peer: the server closed the "
          "connection",
          ""};
    }
    int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) {
      closed = true;
      throw TConnectionFailure{"Failure when receiving data from the peer: " + WinErrorText(err),
                               ""};
    }
    Wait(false, deadline);
  }
}

void TTlsConnection::TlsFailure(const std::string& what, SECURITY_STATUS status) {
  throw TConnectionFailure{"TLS " + what + " failed: " + WinErrorText(static_cast<DWORD>(status)),
                           ""};
}

void TTlsConnection::SendToken(SecBuffer& token, Clock::time_point deadline) {
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

void TTlsConnection::SendCloseNotify() {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer in[1] = {{sizeof type, SECBUFFER_TOKEN, &type}};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, in};
  if (ApplyControlToken(&context, &inDesc) != SEC_E_OK) return;
  SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
  unsigned long attributes = 0;
  InitializeSecurityContextW(&credentials, &context, nullptr,
                             ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                 ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM,
                             0, 0, nullptr, 0, &context, &outDesc, &attributes, nullptr);
  try {
    SendToken(out[0], Clock::now() + std::chrono::seconds(2));
  } catch (const TConnectionFailure&) {
  }
}

void TTlsConnection::Write(const std::string& data, Clock::time_point deadline) {
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

void TTlsConnection::StartTls(const std::string& host) {
  // Every version the system offers from 1.2 on (1.3 where there is one), through the
  // credentials form that knows 1.3; systems that do not know that form get 1.2 alone.
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols = SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = kCredentialFlags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  SECURITY_STATUS st =
      AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                nullptr, &modern, nullptr, nullptr, &credentials, nullptr);
  if (st != SEC_E_OK) {
    SCHANNEL_CRED legacy{};
    legacy.dwVersion = SCHANNEL_CRED_VERSION;
    legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    legacy.dwFlags = kCredentialFlags;
    st =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &legacy, nullptr, nullptr, &credentials, nullptr);
  }
  if (st != SEC_E_OK) TlsFailure("set-up", st);
  haveCredentials = true;
  peerName = host;
  Handshake(Clock::now() + kHandshakeTimeout, true);
  tls = true;
}

void TTlsConnection::Handshake(Clock::time_point deadline, bool first) {
  std::wstring target = Wide(peerName);
  for (;;) {
    SecBuffer in[2] = {{static_cast<unsigned long>(raw.size()), SECBUFFER_TOKEN, raw.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
    unsigned long attributes = 0;
    SECURITY_STATUS st = InitializeSecurityContextW(
        &credentials, first ? nullptr : &context, target.data(), kContextRequest, 0, 0,
        first ? nullptr : &inDesc, 0, &context, &outDesc, &attributes, nullptr);
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
  SECURITY_STATUS st = QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
  if (st != SEC_E_OK) TlsFailure("set-up", st);
}

void TTlsConnection::Read(Clock::time_point deadline) {
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
          throw TConnectionFailure{
              "Failure when receiving data from the peer: the server ended TLS", ""};
        }
        // A handshake message after the handshake: with TLS 1.3 a session ticket or a key
        // update, which the server may send at any time. Schannel takes it (from the bytes
        // after the record) as the continuation of the handshake.
        if (st == SEC_I_RENEGOTIATE) Handshake(deadline, false);
        if (plain.size() > before) return;
        continue;  // a record without application data
      }
      if (st != SEC_E_INCOMPLETE_MESSAGE) TlsFailure("decryption", st);
    }
    ReceiveRaw(deadline);
  }
}

std::string TTlsConnection::ReadLine(Clock::time_point deadline, size_t maxBytes) {
  size_t eol;
  while ((eol = plain.find('\n')) == std::string::npos) {
    if (plain.size() > maxBytes) throw TConnectionFailure{"The server's reply is too long", ""};
    Read(deadline);
  }
  std::string line = plain.substr(0, eol);
  plain.erase(0, eol + 1);
  return line;
}

bool TTlsConnection::HasUnreadInput() const {
  if (sock == INVALID_SOCKET) return false;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock, &set);
  timeval now{0, 0};
  return select(0, &set, nullptr, nullptr, &now) != 0;
}

void TTlsConnection::Close(bool sayGoodbye) {
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
  closed = false;
  raw.clear();
  plain.clear();
}

}  // namespace vel
