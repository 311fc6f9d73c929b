// MainMachine.ord: the scrambled name of the machine that holds the update
// share.
#pragma once

#include <string>
#include <vector>

namespace rz {

struct Ctx;

constexpr std::size_t kNameFileLimit = 64 * 1024;  // a real file holds one short line

// Sets sMainMachine from the file, or to the default main-machine name.
void ReadMainMachine(Ctx& c);
// Name file content to the decoded name of its last item ("" when none).
std::string DecodeNameFile(const std::string& content);
// Splits comma- and line-separated items; quoted items lose their quotes.
std::vector<std::string> ReadItems(const std::string& content);
void DecodeMainMachine(std::string& text);

// The code table and the index list as their 915-character texts.
const std::string& CodeTableText();
const std::string& IndexListText();
// T[c], for writing name files.
int CodeTableEntry(int code);
// The quoted line that a name file must hold for `name` (8-bit text) with
// key digit `key`; "" when the name cannot come back unchanged.
std::string EncodeMainMachine(const std::string& name, char key);

}  // namespace rz
