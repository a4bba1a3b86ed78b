#include "notify/SmtpTexts.h"

namespace vel {

std::string OneLine(const std::string& text) {
  std::string out;
  bool blank = false;
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= 32 || c == 0x7f) {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

bool TSmtpReply::Add(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (line.size() < 3 || !digit(line[0]) || !digit(line[1]) || !digit(line[2]) ||
      (line.size() > 3 && line[3] != ' ' && line[3] != '-'))
    return false;
  FCode = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  FLines.push_back(line.size() > 4 ? line.substr(4) : "");
  FComplete = line.size() == 3 || line[3] == ' ';
  return true;
}

std::string TSmtpReply::Text() const {
  std::string text = std::to_string(FCode);
  for (const auto& l : FLines) text += " " + l;
  return OneLine(text);
}

void TSmtpReply::Clear() {
  FCode = 0;
  FComplete = false;
  FLines.clear();
}

std::string ConnectFailureText(const std::string& host, int port,
                               const std::vector<TConnectAttempt>& attempts) {
  const std::string where = host + " port " + std::to_string(port);
  if (attempts.empty()) return "Failed to connect to " + where;
  if (attempts.size() == 1 && attempts[0].Address == host)
    return "Failed to connect to " + where + ": " + attempts[0].Outcome;
  std::string text = "Failed to connect to " + where + " (";
  for (size_t i = 0; i < attempts.size(); ++i) {
    if (i > 0) text += "; ";
    text += attempts[i].Address + ": " + attempts[i].Outcome;
  }
  return text + ")";
}

std::string ConnectTimeoutText(int seconds) {
  return "no connection within " + std::to_string(seconds) + " s";
}

std::string RefusalsText(const std::vector<TRefusedRecipient>& refused) {
  std::string text;
  for (const auto& r : refused) {
    if (!text.empty()) text += ", ";
    text += r.Address + " (" + r.Reply + ")";
  }
  return text;
}

std::string NoLoginText(const std::string& mechanisms, bool offersStartTls) {
  if (!OneLine(mechanisms).empty())
    return "the server offers no login that needs only a user name and a password (" +
           OneLine(mechanisms) + ")";
  return std::string("a user name and a password are configured, but the server offers no login") +
         (offersStartTls ? " before STARTTLS (UseTLS=1 starts it)" : "") +
         "; the message was not sent";
}

}  // namespace vel
