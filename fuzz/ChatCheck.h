#pragma once

// What a reader sees of the chat channels' framed text: the segments of the title, plain
// runs and code blocks, with neighbours of the same kind (and language) joined, so that a
// text cut into parts and the whole can be compared.

#include <string>
#include <string_view>
#include <vector>

#include "notify/ChatFormat.h"

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

inline bool IsBlankText(std::string_view s) {
  return s.find_first_not_of(" \t\r\n\v\f") == std::string_view::npos;
}

// True when shown is expected with nothing but white space taken out: a blank part (a line
// break left over at a cut) is dropped rather than sent as an empty message.
inline bool OnlyWhiteSpaceDropped(std::string_view shown, std::string_view expected) {
  std::size_t i = 0;
  for (char c : expected) {
    if (i < shown.size() && shown[i] == c)
      ++i;
    else if (!IsBlankText(std::string_view(&c, 1)))
      return false;
  }
  return i == shown.size();
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
    for (auto& s : out) {
      std::string text;
      for (char c : s.Text)
        if (!IsBlankText(std::string_view(&c, 1))) text += c;
      s.Text = std::move(text);
    }
    return out;
  };
  return SameSegments(visible(seen), visible(expected));
}

}  // namespace vel::fuzz
