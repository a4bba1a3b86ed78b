#pragma once

// What a reader sees of the chat channels' framed text: the segments of the title, plain
// runs and code blocks, with neighbours of the same kind (and language) joined, so that a
// text cut into parts and the whole can be compared.

#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "common/Utf.h"
#include "notify/ChatFormat.h"
#include "notify/MarkdownV2Check.h"

namespace vel::fuzz {

using vel::chat::TChatSegment;

inline void AppendJoined(std::vector<TChatSegment>& out, const TChatSegment& s) {
  if (s.Text.empty()) return;
  if (!out.empty() && out.back().Kind == s.Kind && out.back().Lang == s.Lang) {
    out.back().Text += s.Text;
    return;
  }
  out.push_back(s);
}

inline std::vector<TChatSegment> Joined(const std::vector<TChatSegment>& segments) {
  std::vector<TChatSegment> out;
  for (const auto& s : segments) AppendJoined(out, s);
  return out;
}

// The segments of one part. Only a part that continues a title cut in two may open with a
// title line; any other part is read as the middle of a text, where "**...**" is plain.
inline std::vector<TChatSegment> PartSegments(std::string_view part, bool titleAllowed) {
  if (titleAllowed) return vel::chat::ParseFramedText(part);
  auto segments = vel::chat::ParseFramedText("\n" + std::string(part));
  if (!segments.empty() && segments.front().Kind == TChatSegment::ckPlain) {
    segments.front().Text.erase(0, 1);
    if (segments.front().Text.empty()) segments.erase(segments.begin());
  }
  return segments;
}

inline bool SameSegments(const std::vector<TChatSegment>& a, const std::vector<TChatSegment>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].Kind != b[i].Kind || a[i].Lang != b[i].Lang || a[i].Text != b[i].Text) return false;
  return true;
}

// Blank by the chats' rules (white space, controls, the invisible spaces Telegram counts as
// nothing).
inline bool IsBlankText(std::string_view s) {
  return vel::test::ChatBlank(s);
}

// The text without what shows nothing, in UTF-16 units (every such character is one unit).
inline std::u16string Shown(std::string_view s) {
  std::u16string out;
  for (char16_t c : vel::Utf8ToUtf16(s))
    if (!vel::test::ShowsNothing(c)) out += c;
  return out;
}

// True when shown is expected with nothing but characters that show nothing taken out: a
// blank part (a line break left over at a cut) is dropped rather than sent as an empty
// message, and Telegram drops the joiners that keep grave accents apart for Discord.
inline bool OnlyWhiteSpaceDropped(std::string_view shown, std::string_view expected) {
  return Shown(shown) == Shown(expected);
}

// What the chat formatters must make of the raw text first: well-formed UTF-8 with no control
// character but tab, CR and LF,
// so that a NUL shows (as U+2400) instead of cutting the text; grave accents all kept.
inline bool VisibleTextIsWhole(std::string_view text, std::string_view visible) {
  if (!WellFormedUtf8(visible)) return false;
  for (unsigned char c : visible)
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) return false;
  auto count = [](std::string_view s, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string_view::npos; at = s.find(what, at + 1))
      ++n;
    return n;
  };
  const std::string_view nulPicture = "\u2400";
  return count(visible, nulPicture) ==
             count(text, std::string_view("\0", 1)) + count(text, nulPicture) &&
         count(visible, "`") == count(text, "`");
}

// SameSegments, allowing for white space dropped with blank parts: blank segments are left
// out on both sides, and texts are compared without their white space (a blank piece dropped
// between two code blocks leaves them side by side, so the white space that joins them may
// move from one segment to its neighbour).
inline bool SameSegmentsUpToWhiteSpace(const std::vector<TChatSegment>& seen,
                                       const std::vector<TChatSegment>& expected) {
  auto visible = [](const std::vector<TChatSegment>& segments) {
    std::vector<TChatSegment> out;
    for (const auto& s : segments)
      if (!IsBlankText(s.Text)) AppendJoined(out, s);
    for (auto& s : out) s.Text = vel::Utf16ToUtf8(Shown(s.Text));
    return out;
  };
  return SameSegments(visible(seen), visible(expected));
}

}  // namespace vel::fuzz
