// The update folder on a disk or a share, as the rollout uses it.
#pragma once

#include <filesystem>
#include <string>

#include "rollout.h"

namespace rollout {

class DiskFolder : public Folder {
public:
    explicit DiskFolder(std::string root) : root_(std::move(root)) {}
    std::string Put(const std::string& name, const std::string& bytes) override;
    int CreateNew(const std::string& name, const std::string& bytes, std::string& why) override;
    std::string Remove(const std::string& name) override;
    bool Read(const std::string& name, std::string& bytes, Seconds& age) override;
    std::vector<std::string> List(const std::string& folder) override;
    bool Reports(std::vector<board::Machine>& out, std::string& why) override;
    std::string Show(const std::string& name) const override;

private:
    std::filesystem::path Path(const std::string& name) const { return std::filesystem::path(Show(name)); }
    std::string root_;
};

}  // namespace rollout
