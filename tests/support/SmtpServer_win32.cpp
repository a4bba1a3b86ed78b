#include "support/SmtpServer.h"

// Before <windows.h>, which would bring the old Winsock otherwise.
#include "support/Winsock_win32.h"

#include <cstdlib>

#include "common/WinApi_win32.h"
#include "support/TestSupport.h"

namespace vel::test {

namespace {

// A Linux path as Wine's Z: drive shows it.
std::filesystem::path ThroughDriveZ(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& ch : path)
    if (ch == '/') ch = '\\';
  return win::Wide(path);
}

// Wine's name of a Windows path on the Linux side, "" outside Wine.
std::string UnixPath(const std::filesystem::path& path) {
  using Convert = char*(__cdecl*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!convert) return {};
  char* name = convert(std::filesystem::absolute(path).wstring().c_str());
  if (!name) return {};
  std::string result = name;
  ::HeapFree(::GetProcessHeap(), 0, name);
  return result;
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

// The connection to the fixture's launcher: the server runs while it is open.
struct SmtpServer::Process {
  SOCKET socket = INVALID_SOCKET;
};

SmtpServer::SmtpServer(const std::filesystem::path& folder, Options options)
    : folder_(folder), process_(std::make_unique<Process>()) {
  const char* fixture = std::getenv("VEL_SMTP_FIXTURE");
  const std::string unixFolder = UnixPath(folder);
  if (!fixture || unixFolder.empty()) {
    startError_ = "no SMTP launcher (runs under Wine with VEL_SMTP_FIXTURE set)";
    return;
  }
  const std::string portText = ReadFile(ThroughDriveZ(std::string(fixture) + "/launcher/port"));
  StartWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<u_short>(std::atoi(portText.c_str())));
  if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (s != INVALID_SOCKET) ::closesocket(s);
    startError_ = "cannot reach the SMTP launcher on port " + portText;
    return;
  }
  process_->socket = s;
  std::string request = "[" + JsonText(unixFolder);
  for (const auto& arg : Arguments(options)) request += "," + JsonText(arg);
  request += "]\n";
  ::send(s, request.data(), static_cast<int>(request.size()), 0);
  std::string line;
  while (line.find('\n') == std::string::npos && Readable(s, 30000)) {
    char buf[256];
    const int n = ::recv(s, buf, sizeof buf, 0);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  if (line.rfind("PORT ", 0) == 0)
    port_ = std::atoi(line.c_str() + 5);
  else
    startError_ = "the SMTP server did not start: " + line;
}

SmtpServer::~SmtpServer() {
  const SOCKET s = process_->socket;
  if (s == INVALID_SOCKET) return;
  // The launcher stops the server when our side ends, and closes its side once it has.
  ::shutdown(s, SD_SEND);
  char buf[64];
  while (Readable(s, 30000) && ::recv(s, buf, sizeof buf, 0) > 0) {
  }
  ::closesocket(s);
}

}  // namespace vel::test
