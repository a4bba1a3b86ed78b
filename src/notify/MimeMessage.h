#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vel {

// One mailbox of an address list: the display name (may be empty) and the address.
struct TMailAddress {
  std::string Name;
  std::string Address;
};

// Parses a comma-separated list of mailboxes ("a@x", "Jane <j@y>", "\"Doe, John\" <d@z>");
// ";" separates too. Empty entries are skipped. Returns false with the reason in error for an
// entry that is not a usable address (line breaks, unbalanced quotes or brackets, blanks).
bool ParseMailAddresses(const std::string& text, std::vector<TMailAddress>& out,
                        std::string& error);

// The bytes in base64 (RFC 4648, with padding, no line breaks).
std::string Base64(const std::string& bytes);

// "&", "<", ">" and "\"" as HTML character references.
std::string HtmlEscape(const std::string& text);

// The text as it may stand in a header: unchanged when it is printable ASCII, otherwise as
// RFC 2047 encoded words (UTF-8, base64), folded so that no line exceeds 76 characters.
// Line breaks and other control characters become blanks first.
std::string EncodeHeaderText(const std::string& text);

// A mailbox for a From or To header: "Name <address>", with the name quoted or encoded as
// needed, or the bare address when there is no name.
std::string FormatMailbox(const TMailAddress& mailbox);

// Quoted-printable (RFC 2045) with CR LF line ends and soft breaks keeping every line within
// 76 characters. Line breaks of the text are kept as hard breaks.
std::string EncodeQuotedPrintable(const std::string& bytes);

// An RFC 5322 date in UTC ("Wed, 09 Dec 2026 08:52:08 +0000"), independent of the locale.
std::string FormatMailDate(std::chrono::system_clock::time_point when);

// An HTML message in UTF-8 with the headers a mail client expects.
struct TMimeMessage {
  std::string FromName;
  std::string FromAddress;
  std::string Organization;  // no header when empty
  std::string Subject;
  std::vector<TMailAddress> Recipients;
  std::string HtmlBody;

  // The whole message, headers and quoted-printable body, with CR LF line ends.
  std::string Build() const;
};

}  // namespace vel
