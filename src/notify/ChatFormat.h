#pragma once

// Turns the dispatcher's framed text ("**" + title + "**" + CR LF + body, the body possibly
// holding code fences of three grave accents) into what each chat channel accepts: valid
// MarkdownV2 for Telegram, and parts within Discord's content limit, both split into
// consecutive messages that are valid on their own.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vel::chat {

struct TChatSegment {
  enum TKind { ckPlain, ckBold, ckCode };
  TKind Kind = ckPlain;
  std::string Lang;  // code blocks only: the word after the opening fence ("" when none)
  std::string Text;  // the text as the reader sees it (no markup, no escapes)
};

// Splits the framed text into the bold title, plain runs and code blocks. A first line of
// the form **title** is the title; an opening fence's own line break belongs to the fence; an
// unclosed fence runs to the end of the text.
std::vector<TChatSegment> ParseFramedText(std::string_view text);

// MarkdownV2 escapes: outside code every reserved character _*[]()~`>#+-=|{}.! and '\' gets
// a backslash; inside code only '`' and '\'.
std::string EscapeMarkdownV2(std::string_view text);
std::string EscapeMarkdownV2Code(std::string_view text);

// Number of characters as Telegram and Discord count them (UTF-16 code units).
std::size_t ChatLength(std::string_view text);

// The text as MarkdownV2 messages, each showing at most `limit` characters (markup and
// escapes not counted). A code block or the title cut in two is closed and reopened.
std::vector<std::string> FormatTelegramParts(std::string_view text, std::size_t limit = 4096);

// The text as Discord messages of at most `limit` characters each (markup counted). A text
// within the limit goes out unchanged.
std::vector<std::string> FormatDiscordParts(std::string_view text, std::size_t limit = 2000);

// Minimal readers for the error answers of the chat APIs: the first member `key` anywhere in
// the JSON text, as a string (escapes decoded) or as a number.
std::optional<std::string> JsonStringMember(std::string_view json, std::string_view key);
std::optional<double> JsonNumberMember(std::string_view json, std::string_view key);

// What a chat API's failed answer means for the sender: the error text
// "<sender>: HTTP <status>[ <status text>][: <detail>]" and, for a 429, the pause it asks
// for ("retry_after" seconds in the body, else the Retry-After header, else 1 s).
struct TChatFailure {
  std::string Error;
  std::chrono::milliseconds RetryAfter{0};
};
TChatFailure ReadChatFailure(const char* sender, int status, const std::string& statusText,
                             const std::string& answer, const std::string& detailKey,
                             const std::string& retryAfterHeader);
// The text added to the error when a requested pause is longer than the sender waits.
std::string RetryTooLongText(std::chrono::milliseconds wait);

// Replaces every occurrence of each non-empty secret by "***".
std::string HideSecrets(std::string text, const std::vector<std::string>& secrets);

}  // namespace vel::chat
