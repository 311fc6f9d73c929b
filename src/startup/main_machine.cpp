#include "startup/main_machine.h"

#include "core/app.h"
#include "platform/platform.h"

namespace rz {

namespace {

// A fixed permutation of 0 to 255 that keeps the control codes in place.
const char* const kCodeTablePieces[16] = {
    "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,",
    "16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,",
    "65,61,132,145,252,59,169,92,153,130,131,96,156,138,160,179,",
    "119,105,216,215,191,172,108,58,166,149,224,52,67,174,55,89,",
    "127,243,188,180,73,250,115,232,194,236,192,228,251,43,186,218,",
    "248,122,72,195,217,234,71,68,87,82,196,206,51,46,63,90,",
    "231,208,74,222,183,181,49,176,121,171,177,158,136,134,185,154,",
    "112,100,167,151,200,242,70,81,78,107,205,37,147,164,126,170,",
    "229,56,33,201,173,178,137,114,39,129,62,104,42,124,157,184,",
    "213,50,199,66,187,98,148,106,128,110,255,86,85,146,237,225,",
    "101,117,190,60,253,83,38,233,40,210,247,193,99,57,239,120,",
    "197,165,84,198,118,91,94,220,75,139,53,95,246,211,36,240,",
    "159,143,116,163,204,227,241,175,168,64,212,214,123,150,88,135,",
    "93,109,226,230,219,144,80,221,162,41,202,77,142,32,140,48,",
    "182,209,69,203,34,189,45,97,54,125,223,207,79,35,249,133,",
    "103,254,47,161,152,141,102,238,44,244,245,155,113,235,111,76,",
};

std::string JoinPieces(const char* const* pieces) {
    std::string text = ",";
    for (int i = 0; i < 16; ++i) text += pieces[i];
    return text;
}

std::string MakeIndexList() {
    std::string text = ",";
    for (int i = 0; i < 256; ++i) text += std::to_string(i) + ",";
    return text;
}

constexpr int kMaxGroupDigits = 15;  // beyond this a double no longer holds the group exactly

// The value of a run of decimal digits, -1 for anything else; the tables
// hold nothing but small integers.
int DigitsValue(const std::string& digits) {
    if (digits.empty() || digits.size() > 9) return -1;
    int value = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9') return -1;
        value = value * 10 + (ch - '0');
    }
    return value;
}

// The comma count at the comma that closes each code-table entry equal to q.
std::vector<int> MatchingCommas(double q) {
    std::vector<int> found;
    int commas = 0;
    std::string number;
    for (char ch : CodeTableText()) {
        if (ch != ',') {
            number += ch;
            continue;
        }
        ++commas;
        const int value = DigitsValue(number);
        if (value >= 0 && value == q) found.push_back(commas);
        number.clear();
    }
    return found;
}

// The character whose code follows comma number n of the index list.
bool IndexAtComma(int n, char& out) {
    const std::string& list = IndexListText();
    int commas = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] != ',') continue;
        ++commas;
        if (commas != n) continue;
        std::string digits;
        for (std::size_t j = i + 1; j < list.size() && list[j] != ',' && digits.size() < 5; ++j) digits += list[j];
        const int value = DigitsValue(digits);
        if (value < 0) return false;
        out = static_cast<char>(static_cast<unsigned char>(value));
        return true;
    }
    return false;
}

bool IsLineEnd(char ch) { return ch == '\r' || ch == '\n'; }

void SkipBlanks(const std::string& s, std::size_t& pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
}

void SkipSeparator(const std::string& s, std::size_t& pos) {
    if (pos >= s.size()) return;
    if (s[pos] == ',') {
        ++pos;
    } else if (s[pos] == '\r') {
        ++pos;
        if (pos < s.size() && s[pos] == '\n') ++pos;
    } else if (s[pos] == '\n') {
        ++pos;
    }
}

std::string ReadQuotedItem(const std::string& s, std::size_t& pos) {
    const std::size_t start = ++pos;
    const std::size_t close = s.find('"', start);
    const std::size_t end = close == std::string::npos ? s.size() : close;
    std::string item = s.substr(start, end - start);
    pos = end == s.size() ? end : end + 1;
    while (pos < s.size() && s[pos] != ',' && !IsLineEnd(s[pos])) ++pos;  // text after the closing quote
    return item;
}

std::string ReadPlainItem(const std::string& s, std::size_t& pos) {
    const std::size_t start = pos;
    while (pos < s.size() && s[pos] != ',' && !IsLineEnd(s[pos])) ++pos;
    std::size_t end = pos;
    while (end > start && (s[end - 1] == ' ' || s[end - 1] == '\t')) --end;
    return s.substr(start, end - start);
}

}  // namespace

const std::string& CodeTableText() {
    static const std::string text = JoinPieces(kCodeTablePieces);
    return text;
}

const std::string& IndexListText() {
    static const std::string text = MakeIndexList();
    return text;
}

int CodeTableEntry(int code) {
    int index = 0;
    std::string number;
    for (char ch : CodeTableText().substr(1)) {
        if (ch != ',') {
            number += ch;
            continue;
        }
        if (index++ == code) return DigitsValue(number);
        number.clear();
    }
    return -1;
}

std::string EncodeMainMachine(const std::string& name, char key) {
    if (name.empty() || key < '1' || key > '9' || name.find_first_of(",\"\r\n") != std::string::npos) return "";
    std::string body(1, key);
    body += ',';
    for (unsigned char ch : name) body += std::to_string((key - '0') * CodeTableEntry(ch)) + ",";
    std::string check = body;
    DecodeMainMachine(check);
    return check == name ? "\"" + body + "\"" : "";
}

std::vector<std::string> ReadItems(const std::string& content) {
    std::vector<std::string> items;
    std::size_t pos = 0;
    while (pos < content.size()) {
        SkipBlanks(content, pos);
        if (pos >= content.size()) break;
        if (IsLineEnd(content[pos])) {  // blank lines hold no item
            SkipSeparator(content, pos);
            continue;
        }
        items.push_back(content[pos] == '"' ? ReadQuotedItem(content, pos) : ReadPlainItem(content, pos));
        SkipSeparator(content, pos);
    }
    return items;
}

void DecodeMainMachine(std::string& text) {
    if (text.empty()) return;
    std::string work = text;
    if (work[0] == '"') {
        work.pop_back();
        if (!work.empty()) work.erase(0, 1);
    }
    // Anything but a key digit 1-9 followed by digits and commas is not a
    // name this program wrote: it decodes to nothing.
    text.clear();
    if (work.empty() || work[0] < '1' || work[0] > '9') return;
    const double key = work[0] - '0';
    std::string body = work.substr(1);
    if (body.find_first_not_of("0123456789,") != std::string::npos) return;
    // Digits after the last comma form no group: however many there are,
    // they cannot spoil the groups before them.
    const std::size_t lastComma = body.find_last_of(',');
    body.erase(lastComma == std::string::npos ? 0 : lastComma + 1);

    std::string output;
    double accumulator = 0;
    int digits = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char ch = body[i];
        if (i == 0 && ch == ',') continue;
        if (ch != ',') {
            if (++digits > kMaxGroupDigits) return;
            accumulator = accumulator * 10 + (ch - '0');
            continue;
        }
        for (int commas : MatchingCommas(accumulator / key)) {
            char produced;
            if (IndexAtComma(commas - 1, produced)) output += produced;
        }
        accumulator = 0;
        digits = 0;
    }
    text = output;
}

std::string DecodeNameFile(const std::string& content) {
    std::string name;
    for (std::string item : ReadItems(content)) {
        DecodeMainMachine(item);
        name = item;
    }
    return name;
}

void ReadMainMachine(Ctx& c) {
    const std::string path = AppPath(c, "MainMachine.ord");
    c.s.sMainMachine.clear();
    if (FileExists(c, path)) {
        std::string content;
        // A folder of that name, an unreadable or an oversized file names nobody.
        if (c.p.ReadSmallFile(path, kNameFileLimit, content) == ReadStatus::Ok)
            c.s.sMainMachine = DecodeNameFile(content);
    }
    if (c.s.sMainMachine.empty()) c.s.sMainMachine = kDefaultMainMachine;
}

}  // namespace rz
