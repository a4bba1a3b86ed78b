#pragma once

// Turns the dispatcher's framed text ("**" + title + "**" + CR LF + body, the body possibly
// holding code fences of three grave accents) into what each chat channel accepts: valid
// MarkdownV2 for Telegram, and parts within Discord's content limit, both split into
// consecutive messages that are valid on their own.

#include <chrono>
#include <cstddef>
#include <functional>
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

// The text as a chat shows it safely: control characters other than tab, CR and LF become
// visible (U+2400 to U+241F for C0, U+2421 for DEL, U+FFFD for C1) and bytes that are not
// well-formed UTF-8 become U+FFFD. A NUL therefore never cuts a text short.
std::string ChatVisibleText(std::string_view text);

// Stranger text meant to show its grave accents as written: a zero-width joiner after every
// accent that another one or the end of the text follows, so that no run of three (a fence)
// remains and the text cannot end in an accent that runs into a closing fence. The Telegram
// formatter drops these joiners again (it escapes the accents instead).
std::string FenceSafe(std::string_view text);

// Number of characters as Telegram and Discord count them (UTF-16 code units).
std::size_t ChatLength(std::string_view text);

// How many messages one chat alert may take; what does not fit is left out, and the last
// message says how much (the e-mail channel carries the whole text).
inline constexpr std::size_t kMaxChatParts = 4;

// The text as MarkdownV2 messages, each showing at most `limit` characters (markup and
// escapes not counted). Text goes through ChatVisibleText first. A code block or the title cut
// in two is closed and reopened; a part is filled before the next begins, cut at a line end or
// a space where that fills half of it. No part is blank by the chats' rules (white space, the
// invisible spaces and marks Telegram counts as empty); a text that shows nothing gives one
// part saying so. With maxParts > 0, at most that many
// parts; when the text needs more, the last one ends with a line
// "[… N more characters left out]".
std::vector<std::string> FormatTelegramParts(std::string_view text, std::size_t limit = 4096,
                                             std::size_t maxParts = 0);

// The text as Discord messages of at most `limit` characters each (markup counted). A text
// within the limit goes out as ChatVisibleText gives it. Blank parts and maxParts as for Telegram.
std::vector<std::string> FormatDiscordParts(std::string_view text, std::size_t limit = 2000,
                                            std::size_t maxParts = 0);

// How one part of a message went: sent; refused by the chat (an HTTP answer about this part's
// content); or not delivered for a reason every later part shares (no connection, a wait the
// chat asks for that is too long, a cancellation).
enum class TPartResult { prSent, prRefused, prStopped };

// Sends the parts in order. A refused part does not keep the later ones from being tried, so
// one bad piece of stranger text costs only its own part; a stopped part ends the message.
// `send` leaves its failure text in `error`. True when every part was sent; otherwise `error`
// is the first failure's text, followed by the failed parts' numbers when there are several
// parts, e.g. " (part 2 of 3)".
bool SendParts(const std::vector<std::string>& parts,
               const std::function<TPartResult(const std::string&)>& send, std::string& error);

// Minimal readers for the error answers of the chat APIs: the first member `key` anywhere in
// the JSON text, as a string (escapes decoded) or as a number.
std::optional<std::string> JsonStringMember(std::string_view json, std::string_view key);
std::optional<double> JsonNumberMember(std::string_view json, std::string_view key);

// The error text of a chat API's failed answer:
// "<sender>: HTTP <status>[ <status text>][: <detail>]", the detail being the answer's JSON
// member detailKey. (How long a 429 asks to wait is RetryWait's business, notify/RetryWait.h.)
std::string ChatFailureText(const char* sender, int status, const std::string& statusText,
                            const std::string& answer, const std::string& detailKey);
// The text added to the error when a requested pause is longer than the sender waits.
std::string RetryTooLongText(std::chrono::milliseconds wait);

// Replaces every occurrence of each non-empty secret by "***".
std::string HideSecrets(std::string text, const std::vector<std::string>& secrets);

}  // namespace vel::chat
