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
// ";" separates too, and neither separates inside quotes or angle brackets. Empty entries are
// skipped. An entry that is not a usable mailbox (no "@", blanks or line breaks in the
// address, text after the closing bracket) is left out of out and goes to invalid as it was
// written. Returns false with the reason in error when the list itself is malformed
// (unbalanced quotes or brackets): then nothing of it can be trusted.
bool ParseMailAddresses(const std::string& text, std::vector<TMailAddress>& out,
                        std::vector<std::string>& invalid, std::string& error);

// The bytes in base64 (RFC 4648, with padding, no line breaks).
std::string Base64(const std::string& bytes);
// The bytes base64 text stands for; padding, blanks and line breaks are skipped.
std::string Base64Decode(const std::string& text);

// "&", "<", ">" and "\"" as HTML character references.
std::string HtmlEscape(const std::string& text);

// A whole header field "Label: text" with its closing CR LF, folded so that no line exceeds 76
// characters, the label counted. Printable ASCII text is folded at its blanks; other text (or
// text that cannot be folded so) goes as RFC 2047 encoded words (UTF-8, base64), each sized
// to the room left on its line and never splitting a character. Line breaks and other
// control characters become blanks first.
std::string HeaderField(const std::string& label, const std::string& text);

// A From or To header field: each mailbox as "Name <address>" (the name quoted, or encoded
// when it is not ASCII) or "<address>", separated by commas, folded as HeaderField does.
std::string MailboxField(const std::string& label, const std::vector<TMailAddress>& mailboxes);

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
