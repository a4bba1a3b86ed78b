// The INI reader and the configuration load on arbitrary file contents: the file and the
// in-memory reader agree, every listed section exists, values respect the length cap, and
// the loaded configuration is consistent. The diagnostic log is kept inside the scratch
// folder whatever [General] LogPath says, and system-log lines are swallowed.

#include <fcntl.h>
#include <unistd.h>

#include "FuzzSupport.h"
#include "applog/AppLog.h"
#include "common/StrLists.h"
#include "common/Strings.h"
#include "config/IniFile.h"
#include "config/MonitorConfig.h"

namespace {

// UTF-16 length of well-formed UTF-8.
std::size_t Utf16Units(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) ++n;
    if (c >= 0xF0) ++n;
  }
  return n;
}

const char* const kKeys[][2] = {{"General", "LogPath"},
                                {"General", "AppCount"},
                                {"General", "MonitorEnabled"},
                                {"General", "IgnoreExceptions"},
                                {"Telegram", "BotToken"},
                                {"Discord", "Token"},
                                {"Email", "Port"},
                                {"Email", "Password"},
                                {"App_0", "Name"},
                                {"App_1", "LogPath"},
                                {"a", "b"},
                                {"", ""}};

// Overwrites the file in place and cuts it to length. Truncating to zero on open and writing
// again makes the file system push the data to disk at each close, which slowed the target to
// a few hundred runs per second.
void WriteInput(const std::string& file, std::string_view input) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  VEL_FUZZ_CHECK(fd >= 0, "cannot open the scratch file");
  const ssize_t written = ::pwrite(fd, input.data(), input.size(), 0);
  const int cut = ::ftruncate(fd, static_cast<off_t>(input.size()));
  ::close(fd);
  VEL_FUZZ_CHECK(written == static_cast<ssize_t>(input.size()) && cut == 0,
                 "cannot write the scratch file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = (vel::fuzz::ScratchDir() / "fuzz.ini").string();
  static const std::string logFolder = vel::fuzz::ScratchDir().string() + "/";
  static const bool once = [] {
    vel::SetEventLogSink([](const std::string&) {});
    return true;
  }();
  (void)once;

  const std::string_view input = vel::fuzz::AsText(data, size);
  WriteInput(file, input);

  vel::TVelIniFile ini(file);
  VEL_FUZZ_CHECK(ini.ReadError().empty(), "a readable file reported a read error");
  for (const std::string& section : ini.Sections())
    VEL_FUZZ_CHECK(ini.SectionExists(section), "a listed section does not exist");

  // Without a byte-order mark, the file is read as the text it holds.
  const bool bom = input.substr(0, 3) == "\xEF\xBB\xBF" || input.substr(0, 2) == "\xFF\xFE";
  const vel::TVelIniFile memory = vel::TVelIniFile::FromText(input);
  if (!bom) VEL_FUZZ_CHECK(memory.Sections() == ini.Sections(), "file and text readers differ");

  auto probe = [&](const std::string& section, const std::string& key) {
    const auto value = ini.ReadValue(section, key);
    VEL_FUZZ_CHECK(value.has_value() == ini.ValueExists(section, key), "ValueExists disagrees");
    if (!bom)
      VEL_FUZZ_CHECK(value == memory.ReadValue(section, key), "file and text values differ");
    if (!value) return;
    constexpr std::size_t cap = vel::TVelIniFile::kMaxValueLength;
    if (vel::fuzz::WellFormedUtf8(*value))
      VEL_FUZZ_CHECK(Utf16Units(*value) <= cap, "value over the cap");
    else  // stray bytes have no UTF-16 length; each counts as one unit of at most 3 bytes
      VEL_FUZZ_CHECK(value->size() <= 3 * cap, "value with stray bytes over the cap");
    VEL_FUZZ_CHECK(value->find('\0') == std::string::npos, "NUL in a value");
    const auto number = vel::TVelIniFile::ParseInteger(*value);
    VEL_FUZZ_CHECK(ini.ReadInteger(section, key, 12345) == (number ? *number : 12345),
                   "ReadInteger disagrees with ParseInteger");
  };
  for (const auto& k : kKeys) probe(k[0], k[1]);
  for (const std::string& section : ini.Sections()) probe(section, "Name");

  vel::TVelMonitorConfig config(file);
  config.LoadConfig();
  vel::SetLogFolder(logFolder);
  for (const auto& app : config.AppList())
    VEL_FUZZ_CHECK(!app->Name().empty() && !app->LogPath().empty(), "application without name");
  const auto ignored = config.IgnoreExceptions();
  for (std::size_t i = 1; i < ignored.size(); ++i)
    VEL_FUZZ_CHECK(vel::CompareText(ignored[i - 1], ignored[i]) < 0,
                   "ignore list not sorted or holding a duplicate");
  for (const auto& name : ignored)
    VEL_FUZZ_CHECK(config.IgnoreExceptionClass(name), "listed class not found");
  return 0;
}
