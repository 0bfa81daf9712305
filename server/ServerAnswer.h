#pragma once
// The text answers of the update server, parsed line by line. Every answer is a body of lines
// separated by "\n" (runs of line breaks count as one) whose first line begins with "ok"; the
// lines after it depend on the operation. These functions see only the body, never the network,
// so every rule can be exercised on its own.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace ServerAnswer {

// A cursor over a text that hands out tokens the way strtok does: Next skips any delimiters,
// returns the characters up to the next delimiter (or the end) and steps over that one
// delimiter. Views point into the text given at construction, which must outlive them.
class Tokens {
  public:
    explicit Tokens(std::string_view text) : rest_(text) {}

    // The next token, or nothing when only delimiters remain.
    std::optional<std::string_view> Next(std::string_view delimiters);

  private:
    std::string_view rest_;
};

// An answer whose first line began with "ok": that line, and the cursor just after it.
struct Answer {
    std::string_view first;
    Tokens rest;
};

// The answer in `body`, or nothing when the body has no line or its first line does not begin
// with "ok".
std::optional<Answer> Open(std::string_view body);

// Latest build (line 2, as sent) into `build` and firmware identifier (line 3, up to "\r" or
// "\n") into `firmware`, each only when its line is present.
void ReadQueryBuild(Answer& answer, std::string& build, std::string& firmware);

// Clears `file_text`, then sets it to line 2 (up to "\n" only) when present.
void ReadBuild(Answer& answer, std::string& file_text);

// Adds one entry per line "build;version" to `builds` (the first line for a build wins; a line
// without a version maps to an empty text); lines shorter than 3 characters are ignored.
void ReadBuildList(Answer& answer, std::map<std::string, std::string>& builds);

// Line 2 as unsigned hexadecimal into `serial`, line 3 with automatic base detection (decimal,
// "0x" hexadecimal, leading-"0" octal) into `build`, each only when its line is present.
void ReadRecoveryInfo(Answer& answer, uint32_t& serial, uint32_t& build);

// The token of line 2 (header "." payload "." signature up to "\r" or "\n") reassembled with
// dots into `token`. True only when the line is longer than 2 characters and each of the three
// parts is at least 2 characters long; otherwise `token` is left as it was.
bool ReadDeviceJWT(Answer& answer, std::string& token);

}  // namespace ServerAnswer
