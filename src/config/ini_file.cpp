// The INI document: parsing, lookup, in-place edits and the crash-safe write.
#include "config/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "base/sjis.h"

namespace zelkord::config {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::size_t kReadChunkBytes = 4096;
// Attempts at finding an unused temporary name before giving up.
constexpr int kTempNameAttempts = 100;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask like any new file
constexpr mode_t kPermissionBits = 07777;

std::string_view OneLine(std::string_view value) {
  return value.substr(0, value.find_first_of("\r\n"));
}

// The folder part of path including its "/", or "" for the current folder.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The path a save must replace: a symbolic link's final target, so the link
// itself survives; otherwise the path as given.
std::string SaveTarget(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;  // dangling link: replaced like a file
  std::string target(resolved);
  std::free(resolved);
  return target;
}

// Creates a fresh temporary file in folder. Returns its descriptor and name,
// or -1 with errno set.
int CreateTemp(const std::string& folder, std::string& name) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    name = folder + ".ini-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

IniFile IniFile::Load(const std::string& path) {
  return LoadForUpdate(path).value_or(IniFile());
}

std::optional<IniFile> IniFile::LoadForUpdate(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return IniFile();
    return std::nullopt;
  }
  std::string text;
  char buffer[kReadChunkBytes];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const int savedErrno = errno;
      close(fd);
      errno = savedErrno;
      return std::nullopt;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return Parse(text);
}

IniFile IniFile::Parse(std::string_view text) {
  IniFile file;
  Section* current = nullptr;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (line.empty() || line.front() == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      file.sections_.push_back(Section{std::string(line.substr(1, line.size() - 2)), {}});
      current = &file.sections_.back();
      continue;
    }
    if (current == nullptr) continue;  // nothing before the first section belongs anywhere
    current->lines.push_back(Line{std::string(line), line.find('=')});
  }
  return file;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
  for (const Section& section : sections_) {
    if (base::EqualsFolded(section.name, name)) return &section;
  }
  return nullptr;
}

IniFile::Section* IniFile::FindSection(std::string_view name) {
  for (Section& section : sections_) {
    if (base::EqualsFolded(section.name, name)) return &section;
  }
  return nullptr;
}

std::string IniFile::Read(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const {
  if (const Section* found = FindSection(section)) {
    for (const Line& line : found->lines) {
      if (line.keyLength == std::string::npos) continue;
      const std::string_view text = line.text;
      if (base::EqualsFolded(text.substr(0, line.keyLength), key)) {
        return std::string(text.substr(line.keyLength + 1));
      }
    }
  }
  return std::string(defaultValue);
}

std::vector<std::pair<std::string, std::string>> IniFile::Entries(std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> entries;
  if (const Section* found = FindSection(section)) {
    for (const Line& line : found->lines) {
      if (line.keyLength == std::string::npos) continue;
      entries.emplace_back(line.text.substr(0, line.keyLength),
                           line.text.substr(line.keyLength + 1));
    }
  }
  return entries;
}

void IniFile::Write(std::string_view section, std::string_view key, std::string_view value) {
  // A line break inside a value would turn the rest of it into lines of its
  // own, possibly a section header, at the next read.
  value = OneLine(value);
  Section* target = FindSection(section);
  if (target == nullptr) {
    sections_.push_back(Section{std::string(section), {}});
    target = &sections_.back();
  }
  for (Line& line : target->lines) {
    if (line.keyLength == std::string::npos) continue;
    if (base::EqualsFolded(std::string_view(line.text).substr(0, line.keyLength), key)) {
      line.text.resize(line.keyLength + 1);
      line.text.append(value);
      return;
    }
  }
  std::string text(key);
  text += '=';
  text.append(value);
  target->lines.push_back(Line{std::move(text), key.size()});
}

void IniFile::EraseSection(std::string_view section) {
  std::erase_if(sections_,
                [section](const Section& s) { return base::EqualsFolded(s.name, section); });
}

bool IniFile::HasSection(std::string_view section) const {
  return FindSection(section) != nullptr;
}

std::string IniFile::Serialize() const {
  std::string out;
  for (const Section& section : sections_) {
    out += '[';
    out += section.name;
    out += ']';
    out += kLineEnd;
    for (const Line& line : section.lines) {
      out += line.text;
      out += kLineEnd;
    }
    out += kLineEnd;
  }
  return out;
}

bool IniFile::Save(const std::string& path) const {
  const std::string target = SaveTarget(path);
  std::string tempName;
  const int fd = CreateTemp(FolderOf(target), tempName);
  if (fd < 0) return false;

  bool ok = WriteAll(fd, Serialize());
  struct stat old {};
  if (ok && stat(target.c_str(), &old) == 0) ok = fchmod(fd, old.st_mode & kPermissionBits) == 0;
  // The data must be on disk before the rename makes it the settings file.
  if (ok) ok = fsync(fd) == 0;
  int savedErrno = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (ok && rename(tempName.c_str(), target.c_str()) == 0) return true;
  if (ok) savedErrno = errno;
  unlink(tempName.c_str());
  errno = savedErrno;
  return false;
}

}  // namespace zelkord::config
