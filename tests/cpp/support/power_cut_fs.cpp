#include "support/power_cut_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace velmoradb::testing {

namespace {

constexpr std::uint64_t kPage = 4096;
using Bytes = std::vector<std::uint8_t>;

std::string parent_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void apply_change(Bytes& bytes, const Change& c) {
  if (c.kind == Change::Kind::Truncate) {
    bytes.resize(c.offset);
  } else if (c.kind == Change::Kind::Write) {
    const std::uint64_t end = c.offset + c.bytes.size();
    if (bytes.size() < end) bytes.resize(end, 0);
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(c.offset));
  }
}

// How the write after a prefix of a file's changes was torn.
enum class Tear : std::uint8_t { None, FirstHalf, GrownNoData, EvenPages, OddPages };

// `before` with write `w` torn as `tear`.
void apply_torn(Bytes& bytes, const Change& w, Tear tear) {
  const std::uint64_t end = w.offset + w.bytes.size();
  switch (tear) {
    case Tear::None:
      apply_change(bytes, w);
      return;
    case Tear::FirstHalf: {
      Change half = w;
      half.bytes.resize(w.bytes.size() / 2);
      apply_change(bytes, half);
      return;
    }
    case Tear::GrownNoData:
      if (bytes.size() < end) bytes.resize(end, 0);
      return;
    case Tear::EvenPages:
    case Tear::OddPages: {
      if (bytes.size() < end) bytes.resize(end, 0);
      const std::uint64_t parity = tear == Tear::EvenPages ? 0 : 1;
      for (std::uint64_t at = w.offset; at < end;) {
        const std::uint64_t page_end = std::min(end, (at / kPage + 1) * kPage);
        if ((at / kPage) % 2 == parity) {
          std::copy(w.bytes.begin() + static_cast<std::ptrdiff_t>(at - w.offset),
                    w.bytes.begin() + static_cast<std::ptrdiff_t>(page_end - w.offset),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at));
        }
        at = page_end;
      }
      return;
    }
  }
}

// Whether a write lands on more than one page (so a page tear differs from
// the whole write or none of it).
bool spans_pages(const Change& w) {
  return !w.bytes.empty() && w.offset / kPage != (w.offset + w.bytes.size() - 1) / kPage;
}

// One state of one file: a prefix of its pending changes, the next torn.
struct FileState {
  enum class Kind : std::uint8_t { Prefix, OverwritesOnly } kind = Kind::Prefix;
  std::size_t applied = 0;
  Tear tear = Tear::None;
};

struct PendingFile {
  Bytes durable;
  std::vector<const Change*> changes;  // since the last sync

  Bytes build(const FileState& s) const {
    Bytes out = durable;
    if (s.kind == FileState::Kind::OverwritesOnly) {
      for (const Change* c : changes) {
        if (c->kind == Change::Kind::Truncate) break;  // what follows is no overwrite of the old blocks
        if (c->kind == Change::Kind::Write && c->offset + c->bytes.size() <= durable.size()) apply_change(out, *c);
      }
      return out;
    }
    for (std::size_t i = 0; i < s.applied; ++i) apply_change(out, *changes[i]);
    if (s.tear != Tear::None) apply_torn(out, *changes[s.applied], s.tear);
    return out;
  }

  // The states between nothing and everything.
  std::vector<FileState> middle() const {
    std::vector<FileState> out;
    for (std::size_t k = 0; k < changes.size(); ++k) {
      if (k > 0) out.push_back({FileState::Kind::Prefix, k, Tear::None});
      const Change& next = *changes[k];
      if (next.kind != Change::Kind::Write) continue;
      if (next.bytes.size() > 1) out.push_back({FileState::Kind::Prefix, k, Tear::FirstHalf});
      out.push_back({FileState::Kind::Prefix, k, Tear::GrownNoData});
      if (spans_pages(next)) {
        out.push_back({FileState::Kind::Prefix, k, Tear::EvenPages});
        out.push_back({FileState::Kind::Prefix, k, Tear::OddPages});
      }
    }
    return out;
  }
};

class MemFile final : public File {
 public:
  MemFile(PowerCutFileSystem& fs, int inode, bool append) : fs_(fs), inode_(inode), append_(append) {}

  Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
    const Bytes& bytes = fs_.contents(inode_);
    if (pos_ >= bytes.size()) return std::size_t{0};
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, bytes.size() - pos_));
    std::memcpy(buf, bytes.data() + pos_, take);
    pos_ += take;
    return take;
  }
  Status write(const std::uint8_t* buf, std::size_t n) override {
    const std::uint64_t at = append_ ? fs_.contents(inode_).size() : pos_;
    fs_.write(inode_, at, buf, n);
    pos_ = at + n;
    return {};
  }
  Status seek(std::uint64_t offset) override {
    pos_ = offset;
    return {};
  }
  Status sync() override {
    fs_.sync(inode_);
    return {};
  }
  Result<std::uint64_t> length() override { return std::uint64_t{fs_.contents(inode_).size()}; }
  Status truncate(std::uint64_t length) override {
    fs_.truncate(inode_, length);
    return {};
  }

 private:
  PowerCutFileSystem& fs_;
  int inode_;
  bool append_;
  std::uint64_t pos_ = 0;
};

class NoLock final : public DirLock {};

std::uint64_t fingerprint(const DiskImage& image) {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&h](const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
  };
  for (const auto& [path, inode] : image.names) {
    mix(path.data(), path.size());
    if (const Bytes* bytes = image.file(path)) {
      const std::uint64_t n = bytes->size();
      mix(&n, sizeof n);
      mix(bytes->data(), bytes->size());
    } else {
      mix("/", 1);
    }
  }
  return h;
}

}  // namespace

const std::vector<std::uint8_t>* DiskImage::file(const std::string& path) const {
  auto name = names.find(path);
  if (name == names.end() || name->second == kDirectory) return nullptr;
  auto bytes = contents.find(name->second);
  return bytes == contents.end() ? nullptr : &bytes->second;
}

PowerCutFileSystem::PowerCutFileSystem(const std::vector<std::string>& dirs) {
  live_.names["/"] = DiskImage::kDirectory;
  for (const std::string& dir : dirs) {
    for (std::string p = dir; p != "/" && p != "."; p = parent_of(p)) live_.names[p] = DiskImage::kDirectory;
  }
  initial_ = live_;
}

PowerCutFileSystem::PowerCutFileSystem(DiskImage image) : live_(std::move(image)) {
  live_.names["/"] = DiskImage::kDirectory;
  for (const auto& [inode, bytes] : live_.contents) next_inode_ = std::max(next_inode_, inode + 1);
  initial_ = live_;
}

int PowerCutFileSystem::link(const std::string& path) {
  const int inode = next_inode_++;
  live_.names[path] = inode;
  live_.contents[inode] = {};
  changes_.push_back({Change::Kind::Link, inode, 0, {}, path, {}});
  return inode;
}

Result<std::unique_ptr<File>> PowerCutFileSystem::open(const std::string& path, OpenMode mode) {
  auto name = live_.names.find(path);
  int inode;
  if (name != live_.names.end()) {
    if (name->second == DiskImage::kDirectory) return io_error_from_errno(EISDIR);
    inode = name->second;
    if (mode == OpenMode::WriteCreateTruncate && !live_.contents[inode].empty()) truncate(inode, 0);
  } else {
    if (mode != OpenMode::ReadAppendCreate && mode != OpenMode::WriteCreateTruncate) {
      return io_error_from_errno(ENOENT);
    }
    auto parent = live_.names.find(parent_of(path));
    if (parent == live_.names.end()) return io_error_from_errno(ENOENT);
    if (parent->second != DiskImage::kDirectory) return io_error_from_errno(ENOTDIR);
    inode = link(path);
  }
  return std::unique_ptr<File>(new MemFile(*this, inode, mode == OpenMode::ReadAppendCreate));
}

bool PowerCutFileSystem::exists(const std::string& path) { return live_.names.count(path) > 0; }

Status PowerCutFileSystem::create_dirs(const std::string& path) {
  std::vector<std::string> missing;
  for (std::string p = path; !live_.names.count(p); p = parent_of(p)) missing.push_back(p);
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    auto parent = live_.names.find(parent_of(*it));
    if (parent != live_.names.end() && parent->second != DiskImage::kDirectory) {
      return io_error_from_errno(ENOTDIR);
    }
    live_.names[*it] = DiskImage::kDirectory;
    changes_.push_back({Change::Kind::Link, DiskImage::kDirectory, 0, {}, *it, {}});
  }
  if (live_.names[path] != DiskImage::kDirectory) return io_error_from_errno(ENOTDIR);
  return {};
}

Status PowerCutFileSystem::rename(const std::string& from, const std::string& to) {
  auto name = live_.names.find(from);
  if (name == live_.names.end()) return io_error_from_errno(ENOENT);
  live_.names[to] = name->second;
  live_.names.erase(from);
  changes_.push_back({Change::Kind::Rename, DiskImage::kDirectory, 0, {}, from, to});
  return {};
}

Status PowerCutFileSystem::sync_dir(const std::string& path) {
  if (!live_.names.count(path)) return io_error_from_errno(ENOENT);
  changes_.push_back({Change::Kind::SyncDir, DiskImage::kDirectory, 0, {}, path, {}});
  return {};
}

Result<bool> PowerCutFileSystem::is_directory(const std::string& path) {
  auto name = live_.names.find(path);
  if (name == live_.names.end()) return io_error_from_errno(ENOENT);
  return name->second == DiskImage::kDirectory;
}

Result<std::unique_ptr<DirLock>> PowerCutFileSystem::lock_dir(const std::string& path, LockMode /*mode*/) {
  auto name = live_.names.find(path);
  if (name == live_.names.end()) return io_error_from_errno(ENOENT);
  if (name->second != DiskImage::kDirectory) return io_error_from_errno(ENOTDIR);
  return std::unique_ptr<DirLock>(new NoLock);
}

void PowerCutFileSystem::write(int inode, std::uint64_t offset, const std::uint8_t* data, std::size_t n) {
  Change c{Change::Kind::Write, inode, offset, Bytes(data, data + n), {}, {}};
  apply_change(live_.contents[inode], c);
  changes_.push_back(std::move(c));
}

void PowerCutFileSystem::truncate(int inode, std::uint64_t length) {
  Change c{Change::Kind::Truncate, inode, length, {}, {}, {}};
  apply_change(live_.contents[inode], c);
  changes_.push_back(std::move(c));
}

void PowerCutFileSystem::sync(int inode) {
  std::string name;
  for (const auto& [path, node] : live_.names) {
    if (node == inode) name = path;
  }
  changes_.push_back({Change::Kind::Sync, inode, 0, {}, name, {}});
}

namespace {

// The record up to a point: what each sync made durable, and what is
// pending behind it.
struct Walk {
  std::map<int, PendingFile> files;
  std::map<std::string, int> durable_names;
  std::vector<const Change*> pending_names;

  std::map<std::string, int> names_after(std::size_t j) const {
    std::map<std::string, int> names = durable_names;
    for (std::size_t i = 0; i < j; ++i) {
      const Change& c = *pending_names[i];
      if (c.kind == Change::Kind::Link) {
        names[c.path] = c.inode;
      } else if (auto from = names.find(c.path); from != names.end()) {
        names[c.to] = from->second;
        names.erase(from);
      }
    }
    return names;
  }

  DiskImage image(std::size_t names_applied, const std::map<int, FileState>& chosen) const {
    DiskImage image;
    image.names = names_after(names_applied);
    for (const auto& [path, inode] : image.names) {
      if (inode == DiskImage::kDirectory || image.contents.count(inode)) continue;
      auto state = chosen.find(inode);
      const PendingFile& f = files.at(inode);
      image.contents[inode] = state == chosen.end() ? f.durable : f.build(state->second);
    }
    return image;
  }
};

Walk walk(const DiskImage& initial, const std::vector<Change>& changes, std::size_t point) {
  Walk w;
  std::map<int, PendingFile>& files = w.files;
  for (const auto& [inode, bytes] : initial.contents) files[inode].durable = bytes;
  std::map<std::string, int> live_names = initial.names;
  std::map<std::string, int>& durable_names = w.durable_names;
  durable_names = initial.names;
  std::vector<const Change*>& pending_names = w.pending_names;
  for (std::size_t i = 0; i < point && i < changes.size(); ++i) {
    const Change& c = changes[i];
    switch (c.kind) {
      case Change::Kind::Write:
      case Change::Kind::Truncate:
        files[c.inode].changes.push_back(&c);
        break;
      case Change::Kind::Sync: {
        PendingFile& f = files[c.inode];
        for (const Change* p : f.changes) apply_change(f.durable, *p);
        f.changes.clear();
        break;
      }
      case Change::Kind::Link:
        live_names[c.path] = c.inode;
        if (c.inode != DiskImage::kDirectory) files[c.inode];
        pending_names.push_back(&c);
        break;
      case Change::Kind::Rename:
        live_names[c.to] = live_names[c.path];
        live_names.erase(c.path);
        pending_names.push_back(&c);
        break;
      case Change::Kind::SyncDir: {
        std::erase_if(durable_names, [&](const auto& e) { return e.first != "/" && parent_of(e.first) == c.path; });
        for (const auto& [path, node] : live_names) {
          if (path != "/" && parent_of(path) == c.path) durable_names[path] = node;
        }
        std::erase_if(pending_names, [&](const Change* p) {
          return parent_of(p->path) == c.path && (p->kind != Change::Kind::Rename || parent_of(p->to) == c.path);
        });
        break;
      }
    }
  }
  return w;
}

}  // namespace

DiskImage PowerCutFileSystem::cut(const std::map<std::string, Kept>& kept, bool unsynced_names) const {
  Walk w = walk(initial_, changes_, changes_.size());
  std::map<int, FileState> chosen;
  for (const auto& [path, how] : kept) {
    auto name = live_.names.find(path);
    if (name == live_.names.end() || !w.files.count(name->second)) continue;
    const std::size_t n = w.files.at(name->second).changes.size();
    chosen[name->second] = how == Kept::Synced        ? FileState{FileState::Kind::Prefix, 0, Tear::None}
                           : how == Kept::FirstChange ? FileState{FileState::Kind::Prefix, std::min<std::size_t>(n, 1), Tear::None}
                           : how == Kept::Everything ? FileState{FileState::Kind::Prefix, n, Tear::None}
                                                     : FileState{FileState::Kind::OverwritesOnly, 0, Tear::None};
  }
  // Files not named keep everything.
  for (const auto& [inode, f] : w.files) {
    if (!chosen.count(inode)) chosen[inode] = FileState{FileState::Kind::Prefix, f.changes.size(), Tear::None};
  }
  return w.image(unsynced_names ? w.pending_names.size() : 0, chosen);
}

std::vector<DiskImage> PowerCutFileSystem::crash_states(std::size_t point, std::size_t per_file,
                                                        std::mt19937_64& rng) const {
  const Walk w = walk(initial_, changes_, point);
  const std::map<int, PendingFile>& files = w.files;
  const std::vector<const Change*>& pending_names = w.pending_names;

  std::vector<int> changing;  // the files with changes since their sync
  for (const auto& [inode, f] : files) {
    if (!f.changes.empty()) changing.push_back(inode);
  }
  const FileState none{FileState::Kind::Prefix, 0, Tear::None};
  const FileState overwrites{FileState::Kind::OverwritesOnly, 0, Tear::None};
  auto all = [&](int inode) { return FileState{FileState::Kind::Prefix, files.at(inode).changes.size(), Tear::None}; };

  std::vector<DiskImage> out;
  std::set<std::uint64_t> seen;
  auto emit = [&](std::size_t names_applied, const std::map<int, FileState>& chosen) {
    DiskImage image = w.image(names_applied, chosen);
    if (seen.insert(fingerprint(image)).second) out.push_back(std::move(image));
  };

  // The extremes of every file, combined, with no name change and with all.
  std::vector<std::size_t> name_choices{0};
  if (!pending_names.empty()) name_choices.push_back(pending_names.size());
  std::size_t combos = 1;
  for (std::size_t i = 0; i < changing.size() && combos < 729; ++i) combos *= 3;
  for (std::size_t names : name_choices) {
    for (std::size_t combo = 0; combo < combos; ++combo) {
      std::map<int, FileState> chosen;
      std::size_t digits = combo;
      for (int inode : changing) {
        const std::size_t pick = digits % 3;
        digits /= 3;
        chosen[inode] = pick == 0 ? none : pick == 1 ? all(inode) : overwrites;
      }
      emit(names, chosen);
    }
  }
  // Every prefix of the name changes, with the files at either extreme.
  for (std::size_t j = 1; j < pending_names.size(); ++j) {
    std::map<int, FileState> nothing, everything;
    for (int inode : changing) {
      nothing[inode] = none;
      everything[inode] = all(inode);
    }
    emit(j, nothing);
    emit(j, everything);
  }
  // The states of one file between its extremes, the others at theirs.
  const std::size_t all_names = pending_names.size();
  for (int inode : changing) {
    std::vector<FileState> middle = files.at(inode).middle();
    if (middle.size() > per_file) {
      std::shuffle(middle.begin(), middle.end(), rng);
      middle.resize(per_file);
    }
    for (const FileState& state : middle) {
      std::map<int, FileState> low, high;
      for (int other : changing) {
        low[other] = other == inode ? state : none;
        high[other] = other == inode ? state : all(other);
      }
      emit(all_names, low);
      emit(all_names, high);
    }
  }
  return out;
}

}  // namespace velmoradb::testing
