// Makes GUIDE.txt from the guide's pages (docs/guide.md, tasks.md,
// reference.md) at build time, one after the other, for Notepad: CR LF
// line ends, no line of 100 characters or more, tables as aligned text or
// as lists, code set off by indentation, no Markdown marks left.
//   guide_text VERSION OUT.txt PAGE.md...
// A code line too long to be wrapped without changing it fails the build,
// naming its line, so that the Markdown guide is mended instead.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kWidth = 99;     // characters of a line, at most
constexpr std::size_t kCodeIndent = 4;

using Lines = std::vector<std::string>;

std::size_t Indent(const std::string& line) { return line.find_first_not_of(' ') == std::string::npos ? 0 : line.find_first_not_of(' '); }

bool StartsWith(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

// Code spans, bold and escaped bars as plain text; an image as its caption.
std::string Plain(const std::string& line) {
    if (StartsWith(line, "![")) {
        const std::size_t close = line.find("](");
        return "[Picture: " + line.substr(2, close == std::string::npos ? 0 : close - 2) + "]";
    }
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '`' || line.compare(i, 2, "**") == 0) {
            i += line[i] == '`' ? 0 : 1;
        } else if (line.compare(i, 2, "\\|") == 0) {
            out += '|';
            ++i;
        } else {
            out += line[i];
        }
    }
    return out;
}

// Words of `text` in lines of at most kWidth, the first after `first`, the
// others after `rest` spaces. A word longer than a line stands alone.
// Wrapped text has single spaces between its words.
void Wrap(const std::string& text, const std::string& first, std::size_t rest, Lines& out) {
    if (first.size() + text.size() <= kWidth) return out.push_back(first + text);  // its spaces as they are
    std::istringstream words(text);
    std::string word, line = first;
    bool empty = true;
    while (words >> word) {
        if (!empty && line.size() + 1 + word.size() > kWidth) {
            out.push_back(line);
            line = std::string(rest, ' ');
            empty = true;
        }
        line += (empty ? "" : " ") + word;
        empty = false;
    }
    out.push_back(line);
}

Lines Cells(const std::string& row) {
    Lines cells;
    std::string cell;
    for (std::size_t i = 1; i + 1 < row.size(); ++i) {
        if (row[i] == '\\' && row[i + 1] == '|') {
            cell += "\\|";
            ++i;
        } else if (row[i] == '|') {
            cells.push_back(cell);
            cell.clear();
        } else {
            cell += row[i];
        }
    }
    cells.push_back(cell);
    for (std::string& c : cells) {
        c = Plain(c);
        c.erase(0, c.find_first_not_of(' '));
        c.erase(c.find_last_not_of(' ') + 1);
    }
    return cells;
}

// A table that fits stays a table, aligned; one that does not becomes a
// list: the first column as the item, the others under it, by their heading.
void Table(const std::vector<Lines>& rows, Lines& out) {
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const Lines& row : rows)
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    std::size_t total = 0;
    for (std::size_t w : widths) total += w + 2;
    if (total - 2 <= kWidth) {
        for (std::size_t r = 0; r < rows.size(); ++r) {
            std::string line;
            for (std::size_t c = 0; c < rows[r].size() && c < widths.size(); ++c)
                line += rows[r][c] + std::string(c + 1 < widths.size() ? widths[c] + 2 - rows[r][c].size() : 0, ' ');
            out.push_back(line.erase(line.find_last_not_of(' ') + 1));
            if (r == 0) out.push_back(std::string(total - 2, '-'));
        }
        return;
    }
    for (std::size_t r = 1; r < rows.size(); ++r) {
        Wrap(rows[r][0], "- ", 2, out);
        for (std::size_t c = 1; c < rows[r].size() && c < rows[0].size(); ++c)
            Wrap(rows[0].size() == 2 ? rows[r][c] : rows[0][c] + ": " + rows[r][c], "    ", rows[0].size() == 2 ? 4 : 6,
                 out);
    }
}

void Heading(const std::string& line, Lines& out) {
    const std::size_t level = line.find(' ');
    const std::string title = Plain(line.substr(level + 1));
    out.push_back(title);
    out.push_back(std::string(title.size(), level == 1 ? '=' : level == 2 ? '-' : '~'));
}

// Text lines keep their indentation; a list item's continuation hangs
// under its first word.
void Prose(const std::string& line, Lines& out) {
    const std::string text = Plain(line);
    if (text.size() <= kWidth) return out.push_back(text);
    const std::size_t indent = Indent(text);
    const std::size_t marker = text.compare(indent, 2, "- ") == 0 ? 2 : 0;
    Wrap(text.substr(indent + marker), text.substr(0, indent + marker), indent + marker, out);
}

bool Convert(const Lines& in, Lines& out) {
    bool ok = true;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::string& line = in[i];
        const std::size_t indent = Indent(line);
        if (line.compare(indent, 3, "```") == 0) {
            for (++i; i < in.size() && in[i].compare(Indent(in[i]), 3, "```") != 0; ++i) {
                const std::string code = in[i].substr(std::min(indent, Indent(in[i])));
                out.push_back(code.empty() ? "" : std::string(indent + kCodeIndent, ' ') + code);
                if (out.back().size() > kWidth) {
                    std::fprintf(stderr, "guide_text: line %zu: a code line of %zu characters in GUIDE.txt, more than %zu\n",
                                 i + 1, out.back().size(), kWidth);
                    ok = false;
                }
            }
        } else if (StartsWith(line, "|")) {
            std::vector<Lines> rows;
            for (; i < in.size() && StartsWith(in[i], "|"); ++i)
                if (in[i].find("---") == std::string::npos || in[i].find_first_not_of("|-: ") != std::string::npos)
                    rows.push_back(Cells(in[i]));
            --i;
            Table(rows, out);
        } else if (StartsWith(line, "#")) {
            Heading(line, out);
        } else {
            Prose(line, out);
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: guide_text VERSION OUT.txt PAGE.md...\n");
        return 2;
    }
    Lines out = {std::string("ROREROZARIRADI version ") + argv[1], ""};
    for (int page = 3; page < argc; ++page) {
        std::ifstream in(argv[page]);
        Lines lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        if (page > 3) out.push_back("");
        if (!in.eof() || !Convert(lines, out)) {
            std::fprintf(stderr, "guide_text: in %s\n", argv[page]);
            return 1;
        }
    }
    std::ofstream txt(argv[2], std::ios::binary);
    for (const std::string& line : out) txt << line << "\r\n";
    return txt.flush() ? 0 : 1;
}
