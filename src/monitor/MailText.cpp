#include "monitor/MailText.h"

#include <string_view>

#include "common/Strings.h"

namespace vel {

namespace {
constexpr std::string_view kAppNamePlaceholder = "%AppName%";
}

std::string MailSubject(const std::string& configured, const std::string& appName) {
  std::string subject;
  bool replaced = false;
  size_t i = 0;
  while (i < configured.size()) {
    const std::string_view rest = std::string_view(configured).substr(i);
    if (rest.size() >= kAppNamePlaceholder.size() &&
        SameText(rest.substr(0, kAppNamePlaceholder.size()), kAppNamePlaceholder)) {
      subject += appName;
      i += kAppNamePlaceholder.size();
      replaced = true;
    } else {
      subject += configured[i++];
    }
  }
  if (replaced || appName.empty()) return subject;
  return configured.empty() ? appName : appName + ": " + configured;
}

std::string MailBody(const std::string& appName, const std::string& text) {
  if (appName.empty()) return text;
  return "Application: " + appName + "\r\n\r\n" + text;
}

}  // namespace vel
