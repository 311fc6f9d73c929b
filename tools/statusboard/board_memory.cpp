// What the board last knew, from one run to the next: a fresh process per
// timer tick and a --watch loop both go through this file.

#include <nlohmann/json.hpp>

#include "status_board.h"

namespace board {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kMemoryFormat = 1;

Json MachineJson(const Machine& m) {
    Json report = Json::object();
    for (const auto& field : m.fields) report[field.first] = field.second;
    return {{"file", m.file},
            {"state", StateName(m.state)},
            {"since", m.stateSince},
            {"written", m.ageKnown ? Json(m.writtenUnix) : Json(nullptr)},
            {"problem", m.problem},
            {"report", report}};
}

// A good report is kept as its lines and read again by the one parser; the
// state is the one it was shown in, not one judged anew.
bool MachineFromJson(const Json& j, Machine& m) {
    std::string text;
    for (const auto& field : j.at("report").items())
        text += field.key() + "=" + field.value().get<std::string>() + "\r\n";
    const std::string file = j.at("file").get<std::string>();
    const std::string problem = j.at("problem").get<std::string>();
    if (problem.empty()) {
        ParseReport(file, text, m);
        if (!m.problem.empty()) return false;
    } else {
        m.file = file;
        m.problem = problem;
    }
    m.stateSince = j.at("since").get<std::int64_t>();
    m.ageKnown = !j.at("written").is_null();
    if (m.ageKnown) m.writtenUnix = j.at("written").get<std::int64_t>();
    return StateFromName(j.at("state").get<std::string>(), m.state);
}

const Machine* Find(const Memory& memory, const std::string& file) {
    for (const Machine& m : memory.machines)
        if (m.file == file) return &m;
    return nullptr;
}

void AgeTo(Machine& m, std::int64_t now) {
    if (m.ageKnown) m.ageSeconds = now > m.writtenUnix ? now - m.writtenUnix : 0;
    m.lastKnown = true;
}

}  // namespace

std::string MemoryText(const Memory& memory) {
    Json machines = Json::array();
    for (const Machine& m : memory.machines) machines.push_back(MachineJson(m));
    const Json doc = {{"board_memory", kMemoryFormat},
                      {"folder", memory.folder},
                      {"read_at", memory.readAt},
                      {"unreadable_since", memory.unreadableSince},
                      {"machines", machines}};
    return doc.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string ParseMemory(const std::string& text, Memory& memory) {
    memory = Memory();
    const Json doc = Json::parse(text, nullptr, false);
    if (doc.is_discarded()) return "not JSON";
    try {
        if (doc.at("board_memory") != kMemoryFormat) return "of another format";
        Memory read;
        read.folder = doc.at("folder").get<std::string>();
        read.readAt = doc.at("read_at").get<std::int64_t>();
        read.unreadableSince = doc.at("unreadable_since").get<std::int64_t>();
        for (const Json& j : doc.at("machines")) {
            Machine m;
            if (!MachineFromJson(j, m)) return "a machine that is none";
            read.machines.push_back(std::move(m));
        }
        memory = std::move(read);
    } catch (const nlohmann::json::exception&) {
        return "a field missing or of the wrong type";
    }
    return "";
}

void Recall(const Memory& memory, std::int64_t now, std::int64_t silentAfter, std::vector<Machine>& machines) {
    for (Machine& m : machines) {
        const Machine* before = Find(memory, ValidUtf8(m.file));
        if (m.readError && before && before->problem.empty() && before->ageKnown &&
            now - before->writtenUnix <= silentAfter) {
            m = *before;
            AgeTo(m, now);
        } else {
            m.stateSince = before && before->state == m.state && before->stateSince > 0 ? before->stateSince : now;
        }
    }
    SortForAttention(machines);
}

std::vector<Machine> LastKnown(const Memory& memory, std::int64_t now) {
    std::vector<Machine> machines = memory.machines;
    for (Machine& m : machines) AgeTo(m, now);
    return machines;
}

}  // namespace board
