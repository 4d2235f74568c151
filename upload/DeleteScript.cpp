#include "upload/DeleteScript.h"

#include "upload/AdbOutput.h"

#include <charconv>

namespace {

// v INDEX PATH SIZE SHA256. The shells of Android (mksh, toybox sh) and
// busybox all take this; "sha256sum <" keeps names out of its output.
const char* const kHead =
    "cd /sdcard || { echo vantor:nostorage; exit; }; "
    "command -v sha256sum >/dev/null 2>&1 || { echo vantor:nosha256; exit; }; "
    "v() { t=\"$2.vantor-check\"; "
    "if [ -f \"$t\" ] && [ ! -e \"$2\" ] && [ ! -L \"$2\" ]; then mv \"$t\" \"$2\"; fi; "
    "if [ -e \"$t\" ] || [ -L \"$t\" ]; then echo \"vantor:$1:busy\"; return; fi; "
    "if [ ! -d \"${2%/*}\" ]; then echo \"vantor:$1:nodir\"; return; fi; "
    "if [ ! -e \"$2\" ] && [ ! -L \"$2\" ]; then echo \"vantor:$1:missing\"; return; fi; "
    "if [ -L \"$2\" ] || [ ! -f \"$2\" ]; then echo \"vantor:$1:changed\"; return; fi; "
    "mv \"$2\" \"$t\" 2>/dev/null || { echo \"vantor:$1:busy\"; return; }; "
    "s=$(stat -c %s \"$t\" 2>/dev/null); h=$(sha256sum < \"$t\" 2>/dev/null); h=${h%% *}; "
    "if [ \"$s\" = \"$3\" ] && [ \"$h\" = \"$4\" ]; then rm -f \"$t\" 2>/dev/null; "
    "if [ -e \"$t\" ]; then mv \"$t\" \"$2\"; echo \"vantor:$1:refused\"; else echo \"vantor:$1:gone\"; fi; "
    "elif [ -e \"$2\" ] || [ -L \"$2\" ]; then echo \"vantor:$1:aside\"; "
    "else mv \"$t\" \"$2\"; echo \"vantor:$1:changed\"; fi; }; ";

std::string Call(size_t index, const DeleteScript::Item& item) {
    return "v " + std::to_string(index) + " " + DeleteScript::Quote(item.path) + " " + std::to_string(item.size) + " " +
           item.sha256 + "; ";
}

} // namespace

std::string DeleteScript::Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

size_t DeleteScript::HeadLength() {
    return std::char_traits<char>::length(kHead);
}

size_t DeleteScript::ItemLength(const Item& item) {
    return Call(999999, item).size();
}

std::string DeleteScript::Build(const std::vector<Item>& items, size_t first, size_t count) {
    std::string line = kHead;
    for (size_t i = first; i < first + count && i < items.size(); ++i)
        line += Call(i, items[i]);
    return line;
}

DeleteScript::Answers DeleteScript::Parse(std::string_view output) {
    static const std::map<std::string_view, Answer> kWords = {
        {"gone", Answer::Gone}, {"missing", Answer::Missing}, {"changed", Answer::Changed}, {"aside", Answer::Aside},
        {"busy", Answer::Busy}, {"refused", Answer::Refused}, {"nodir", Answer::NoDir},
    };
    Answers answers;
    for (const std::string& text : AdbOutput::SplitText(output, "\r\n")) {
        std::string_view line = text;
        if (line == "vantor:nosha256")
            answers.noSha256 = true;
        if (line == "vantor:nostorage")
            answers.noStorage = true;
        if (!line.starts_with("vantor:"))
            continue;
        line.remove_prefix(7);
        size_t index = 0;
        auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), index);
        // Only the index as the script prints it: "01" is no answer for file 1.
        if (error != std::errc() || end == line.data() || end == line.data() + line.size() || *end != ':' ||
            (line[0] == '0' && end - line.data() > 1))
            continue;
        auto word = kWords.find(line.substr(static_cast<size_t>(end - line.data()) + 1));
        // The first answer counts: a file is asked about once.
        if (word != kWords.end())
            answers.byIndex.emplace(index, word->second);
    }
    return answers;
}
