#pragma once

// The application's name in a notification mail, so that the mails of several applications
// can be told apart in a mailbox.

#include <string>

namespace vel {

// The configured subject with every "%AppName%" (any letter case) replaced by the
// application's name; a subject without the placeholder gets the name in front of it.
std::string MailSubject(const std::string& configured, const std::string& appName);
// The mail text with the application's name on its first line.
std::string MailBody(const std::string& appName, const std::string& text);

}  // namespace vel
