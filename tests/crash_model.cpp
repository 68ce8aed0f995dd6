#include "crash_model.h"

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

#include "support.h"

namespace gemmel::testing {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = 4096;

// Calls `visit` with every choice of one of `counts[i]` for each i.
void for_each_pick(
    const std::vector<std::size_t>& counts,
    const std::function<void(const std::vector<std::size_t>&)>& visit) {
  std::vector<std::size_t> pick(counts.size(), 0);
  for (std::size_t i = 0; i < pick.size();) {
    visit(pick);
    for (i = 0; i < pick.size() && ++pick[i] == counts[i]; ++i) pick[i] = 0;
  }
  if (pick.empty()) visit(pick);
}

// Every content a power cut can leave of a file synced as `synced` and
// written since as `since`: each block from any of them, at any of their
// sizes.
std::set<std::string> torn(const std::string& synced,
                           const std::vector<std::string>& since) {
  std::vector<std::string> sources{synced};
  sources.insert(sources.end(), since.begin(), since.end());
  std::set<std::size_t> sizes;
  for (const std::string& each : sources) sizes.insert(each.size());
  std::vector<std::vector<std::string>> blocks((*sizes.rbegin() + kBlock - 1) /
                                               kBlock);
  std::vector<std::size_t> counts;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    std::set<std::string> values;
    for (const std::string& each : sources) {
      std::string block =
          each.substr(std::min(each.size(), i * kBlock), kBlock);
      values.insert(block + std::string(kBlock - block.size(), '\0'));
    }
    blocks[i].assign(values.begin(), values.end());
    counts.push_back(values.size());
  }
  std::set<std::string> contents;
  for_each_pick(counts, [&](const std::vector<std::size_t>& pick) {
    std::string whole;
    for (std::size_t i = 0; i < pick.size(); ++i) whole += blocks[i][pick[i]];
    for (const std::size_t size : sizes) contents.insert(whole.substr(0, size));
  });
  return contents;
}

}  // namespace

Disk read_disk(const fs::path& folder) {
  Disk disk;
  for (const auto& entry : fs::directory_iterator(folder)) {
    disk.names[entry.path().filename().string()] =
        static_cast<int>(disk.files.size());
    disk.files.push_back(read_file(entry.path()));
  }
  return disk;
}

void lay_out(const fs::path& folder, const Disk& disk) {
  for (const auto& entry : fs::directory_iterator(folder)) fs::remove(entry);
  std::map<int, fs::path> laid;
  for (const auto& [name, file] : disk.names) {
    if (laid.contains(file)) {
      fs::create_hard_link(laid[file], folder / name);
    } else {
      write_file(folder / name, disk.files[file]);
      laid[file] = folder / name;
    }
  }
}

PowerCuts::PowerCuts(fs::path folder)
    : folder_(std::move(folder)), synced_entries_(entries()) {
  for (const auto& [name, number] : synced_entries_) {
    files_[static_cast<std::size_t>(number)].synced = read_file(folder_ / name);
  }
}

void PowerCuts::after(const std::string& entry, int fd) {
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) return;
  const bool sync =
      entry.starts_with("fsync") || entry.starts_with("fdatasync");
  if (S_ISDIR(status.st_mode)) {
    if (sync) synced_entries_ = entries();
    return;
  }
  entries();
  const auto number = numbers_.find(status.st_ino);
  if (number == numbers_.end()) return;
  File& file = files_[static_cast<std::size_t>(number->second)];
  const std::string now = read_file("/proc/self/fd/" + std::to_string(fd));
  if (sync) {
    file = File{now, {}};
  } else if (now != (file.since.empty() ? file.synced : file.since.back())) {
    file.since.push_back(now);
  }
}

void PowerCuts::cut() {
  std::map<std::string, std::vector<std::optional<int>>> choices;
  for (const auto& entries : {synced_entries_, this->entries()}) {
    for (const auto& [name, inode] : entries) choices[name];
  }
  std::vector<std::size_t> counts;
  for (auto& [name, options] : choices) {
    for (const auto& entries : {synced_entries_, this->entries()}) {
      const auto found = entries.find(name);
      const auto number = found == entries.end()
                              ? std::nullopt
                              : std::optional<int>(found->second);
      if (std::ranges::find(options, number) == options.end()) {
        options.push_back(number);
      }
    }
    counts.push_back(options.size());
  }
  for_each_pick(counts, [&](const std::vector<std::size_t>& pick) {
    Disk disk;
    std::vector<std::vector<std::string>> contents;
    std::map<int, int> numbers;
    auto option = pick.begin();
    for (const auto& [name, options] : choices) {
      const std::optional<int> number = options[*option++];
      if (!number) continue;
      if (!numbers.contains(*number)) {
        numbers[*number] = static_cast<int>(contents.size());
        const File& file = files_[static_cast<std::size_t>(*number)];
        const std::set<std::string> each = torn(file.synced, file.since);
        contents.emplace_back(each.begin(), each.end());
      }
      disk.names[name] = numbers[*number];
    }
    std::vector<std::size_t> sizes;
    for (const auto& each : contents) sizes.push_back(each.size());
    for_each_pick(sizes, [&](const std::vector<std::size_t>& which) {
      disk.files.clear();
      for (std::size_t i = 0; i < which.size(); ++i) {
        disk.files.push_back(contents[i][which[i]]);
      }
      states_.insert(disk);
    });
  });
}

bool PowerCuts::pending() {
  for (const auto& [name, number] : entries()) {
    if (!files_[static_cast<std::size_t>(number)].since.empty()) return true;
  }
  return entries() != synced_entries_;
}

std::map<std::string, int> PowerCuts::entries() {
  std::map<std::string, int> found;
  std::map<ino_t, int> held;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    const ino_t inode = stat_of(entry.path()).st_ino;
    auto known = numbers_.find(inode);
    if (known == numbers_.end()) {
      known = numbers_.emplace(inode, static_cast<int>(files_.size())).first;
      files_.emplace_back();
    }
    held[inode] = known->second;
    found[entry.path().filename().string()] = known->second;
  }
  numbers_ = held;
  return found;
}

}  // namespace gemmel::testing
