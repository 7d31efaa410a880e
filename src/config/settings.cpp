// Loading, checking and saving the settings file's sections by the table,
// the message of the day, the number conversion and the colour texts.
#include "config/settings.h"

#include <arpa/inet.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <utility>

#include "base/sjis.h"
#include "base/version.h"
#include "config/ini_file.h"

namespace zelkord::config {

namespace {

bool IsNumericAddress(const std::string& text) {
  unsigned char bytes[sizeof(in6_addr)];
  return inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
         inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

// A file of this version may still hold the [TcpIP] section, which later
// versions dropped.
constexpr std::string_view kTcpIpVersion = "1.04";
constexpr std::string_view kEnable = "Enable";
constexpr std::string_view kDisable = "Disable";
constexpr std::string_view kMatchAll = "*.*.*.*";
constexpr int kHexDigitsMax = 8;

struct NamedColor {
  std::string_view name;
  std::uint32_t value;
};

constexpr std::uint32_t kSystemColorBase = 0xFF000000u;
constexpr std::uint32_t kClNone = 0x1FFFFFFFu;
constexpr std::uint32_t kClDefault = 0x20000000u;
constexpr unsigned kWhite = 0xFFFFFFu;

constexpr std::array<NamedColor, 43> kNamedColors{{
    {"clBlack", 0x000000},
    {"clMaroon", 0x000080},
    {"clGreen", 0x008000},
    {"clOlive", 0x008080},
    {"clNavy", 0x800000},
    {"clPurple", 0x800080},
    {"clTeal", 0x808000},
    {"clGray", 0x808080},
    {"clSilver", 0xC0C0C0},
    {"clRed", 0x0000FF},
    {"clLime", 0x00FF00},
    {"clYellow", 0x00FFFF},
    {"clBlue", 0xFF0000},
    {"clFuchsia", 0xFF00FF},
    {"clAqua", 0xFFFF00},
    {"clWhite", 0xFFFFFF},
    {"clScrollBar", kSystemColorBase | 0},
    {"clBackground", kSystemColorBase | 1},
    {"clActiveCaption", kSystemColorBase | 2},
    {"clInactiveCaption", kSystemColorBase | 3},
    {"clMenu", kSystemColorBase | 4},
    {"clWindow", kSystemColorBase | 5},
    {"clWindowFrame", kSystemColorBase | 6},
    {"clMenuText", kSystemColorBase | 7},
    {"clWindowText", kSystemColorBase | 8},
    {"clCaptionText", kSystemColorBase | 9},
    {"clActiveBorder", kSystemColorBase | 10},
    {"clInactiveBorder", kSystemColorBase | 11},
    {"clAppWorkSpace", kSystemColorBase | 12},
    {"clHighlight", kSystemColorBase | 13},
    {"clHighlightText", kSystemColorBase | 14},
    {"clBtnFace", kSystemColorBase | 15},
    {"clBtnShadow", kSystemColorBase | 16},
    {"clGrayText", kSystemColorBase | 17},
    {"clBtnText", kSystemColorBase | 18},
    {"clInactiveCaptionText", kSystemColorBase | 19},
    {"clBtnHighlight", kSystemColorBase | 20},
    {"cl3DDkShadow", kSystemColorBase | 21},
    {"cl3DLight", kSystemColorBase | 22},
    {"clInfoText", kSystemColorBase | 23},
    {"clInfoBk", kSystemColorBase | 24},
    {"clNone", kClNone},
    {"clDefault", kClDefault},
}};

// The usual light-theme look of the system colours, as 0xRRGGBB, by index.
constexpr std::array<unsigned, 25> kSystemRgb{
    0xC8C8C8,  // scroll bar
    0x000000,  // desktop
    0x99B4D1,  // active caption
    0xBFCDDB,  // inactive caption
    0xF0F0F0,  // menu
    0xFFFFFF,  // window
    0x646464,  // window frame
    0x000000,  // menu text
    0x000000,  // window text
    0x000000,  // caption text
    0xB4B4B4,  // active border
    0xF4F7FC,  // inactive border
    0xABABAB,  // application work space
    0x0078D7,  // highlight
    0xFFFFFF,  // highlight text
    0xF0F0F0,  // button face
    0xA0A0A0,  // button shadow
    0x6D6D6D,  // gray text
    0x000000,  // button text
    0x000000,  // inactive caption text
    0xFFFFFF,  // button highlight
    0x696969,  // 3D dark shadow
    0xE3E3E3,  // 3D light
    0x000000,  // tooltip text
    0xFFFFE1,  // tooltip background
};

// The decimal grammar of ToInt without the exception.
std::optional<int> ParseDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulated as a negative number so that the most negative int fits.
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 - (c - '0');
    if (value < std::numeric_limits<int>::min()) return std::nullopt;
  }
  if (!negative) {
    value = -value;
    if (value > std::numeric_limits<int>::max()) return std::nullopt;
  }
  return static_cast<int>(value);
}

std::optional<int> ParseHex(std::string_view digits) {
  if (digits.empty() || digits.size() > kHexDigitsMax) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return static_cast<int>(value);
}

constexpr std::string_view kNotColour =
    "is not a colour: use a name such as clWindow, \"$\" and eight hexadecimal digits, or a whole"
    " number.";

std::string Refusal(std::string_view what, std::string_view text, std::string_view reason) {
  std::string message = "Settings value ";
  message.append(what).append(" \"").append(text).append("\" ").append(reason);
  return message;
}

// The number a Number row's text holds, -1 for an empty text the row takes
// as none, or nullopt when the text does not convert.
std::optional<int> RowNumber(const Settings& s, const SettingsKey& row) {
  const std::string& text = s.*row.value;
  if (row.emptyIsNone && text.empty()) return -1;
  return ParseDecimal(text);
}

std::string ExtensionPath(const std::string& base, std::string_view extension) {
  const std::size_t slash = base.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return base + "." + std::string(extension);
  return base.substr(0, dot + 1) + std::string(extension);
}

std::string FolderPath(const std::string& base) {
  const std::size_t slash = base.rfind('/');
  return slash == std::string::npos ? std::string("./") : base.substr(0, slash + 1);
}

std::string DefaultText(const SettingsKey& row, const InstancePaths& paths) {
  switch (row.from) {
    case DefaultFrom::Version:
      return std::string(base::kVersion);
    case DefaultFrom::MotdFile:
      return paths.motdFile;
    case DefaultFrom::Folder:
      return paths.folder + row.text;
    case DefaultFrom::Text:
      break;
  }
  return row.text;
}

std::string BanKey(int index) {
  return "Ip" + std::to_string(index);
}

// Opens the file afresh for one of the partial writes, applies change and
// writes the whole file back.
template <typename Change>
bool Update(const std::string& settingsFile, Change change) {
  std::optional<IniFile> ini = IniFile::LoadForUpdate(settingsFile);
  if (!ini) return false;
  change(*ini);
  return ini->Save(settingsFile);
}

}  // namespace

int ToInt(std::string_view what, std::string_view text) {
  if (const std::optional<int> value = ParseDecimal(text)) return *value;
  throw SettingsNumberError(Refusal(what, text, kNotWholeNumber));
}

InstancePaths PathsFor(const std::string& base) {
  return InstancePaths{ExtensionPath(base, "INI"), ExtensionPath(base, "MTD"), FolderPath(base)};
}

InstancePaths PathsForConfig(const std::string& configFile) {
  InstancePaths paths = PathsFor(configFile);
  paths.settingsFile = configFile;
  return paths;
}

std::string ShippedFolder() {
  char program[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
  if (length <= 0) return {};
  std::string folder(program, static_cast<std::size_t>(length));
  folder.erase(folder.rfind('/') + 1);
  struct stat info {};
  const std::string installed = folder + "../share/zelkord/";
  if (stat(installed.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return installed;
  // A build folder: the build copies the shipped files beside the program.
  // Its cache file marks it, so a stray program elsewhere places nothing.
  const std::string cache = folder + "CMakeCache.txt";
  return stat(cache.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? folder : std::string();
}

std::vector<ShippedCopy> MissingShippedFiles(const InstancePaths& paths, const Settings& settings,
                                             const std::string& shippedFolder) {
  std::vector<ShippedCopy> missing;
  if (shippedFolder.empty()) return missing;
  const Settings defaults = DefaultSettings(paths);
  const std::pair<const std::string*, const std::string*> files[] = {
      {&settings.serverMotdPath, &defaults.serverMotdPath},
      {&settings.webIndexForm, &defaults.webIndexForm},
      {&settings.webLogForm, &defaults.webLogForm}};
  for (const auto& [configured, standard] : files) {
    struct stat info {};
    if (*configured != *standard || stat(standard->c_str(), &info) == 0) continue;
    // The shipped names: the message of the day is always zelkord.MTD there.
    const std::string name = standard == &defaults.serverMotdPath
                                 ? std::string("zelkord.MTD")
                                 : standard->substr(standard->rfind('/') + 1);
    if (UnreadableFile(shippedFolder + name).empty()) {
      missing.push_back({shippedFolder + name, *standard});
    }
  }
  return missing;
}

std::vector<std::string> PlaceShippedFiles(const InstancePaths& paths, const Settings& settings,
                                           const std::string& shippedFolder) {
  std::vector<std::string> placed;
  for (const ShippedCopy& copy : MissingShippedFiles(paths, settings, shippedFolder)) {
    std::ifstream from(copy.from, std::ios::binary);
    if (!from) continue;
    std::ofstream to(copy.to, std::ios::binary);
    to << from.rdbuf();
    if (to.flush()) {
      placed.push_back(copy.to);
    } else {
      // A part of the file (a full disk) would pass for the whole of it.
      to.close();
      std::remove(copy.to.c_str());
    }
  }
  return placed;
}

std::string UnreadableFile(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return "is missing";
  if (error) return "cannot be read: " + error.message();
  // A folder would read as nothing and a pipe would block.
  if (status.type() != std::filesystem::file_type::regular) return "is not a file";
  if (access(path.c_str(), R_OK) == 0) return {};
  return std::string("cannot be read: ") + std::strerror(errno);
}

std::string BesideSettings(const InstancePaths& paths, const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  return paths.folder + path;
}

std::string KeyName(const SettingsKey& row) {
  return std::string(row.section) + "." + row.key;
}

int FindKey(std::string_view name) {
  for (int i = 0; i < kSettingsKeyCount; ++i) {
    const SettingsKey& row = kSettingsTable[i];
    const std::string_view section = row.section;
    if (name.size() == section.size() + 1 + std::string_view(row.key).size() &&
        name.substr(0, section.size()) == section && name[section.size()] == '.' &&
        name.substr(section.size() + 1) == row.key) {
      return i;
    }
  }
  return -1;
}

Settings DefaultSettings(const InstancePaths& paths) {
  Settings s;
  for (const SettingsKey& row : kSettingsTable) s.*row.value = DefaultText(row, paths);
  return s;
}

SettingsPage PageFromSettings(const Settings& s) {
  SettingsPage page;
  for (int i = 0; i < kSettingsKeyCount; ++i) {
    const SettingsKey& row = kSettingsTable[i];
    const std::string& text = s.*row.value;
    page.texts[i] = row.kind != SettingKind::Switch ? text
                    : text == kEnable               ? std::string(kEnable)
                                                    : std::string(kDisable);
  }
  return page;
}

std::vector<SettingsFault> SettingsFaults(const Settings& s, bool (*isEncoding)(std::string_view)) {
  std::vector<SettingsFault> faults;
  for (const SettingsKey& row : kSettingsTable) {
    const std::string& text = s.*row.value;
    auto refuse = [&](std::string_view reason) {
      faults.push_back({row.section, row.key, text, std::string(reason)});
    };
    if (row.kind == SettingKind::Encoding && !isEncoding(text)) {
      refuse("is not an encoding: use ISO-2022-JP, UTF-8 or Shift_JIS.");
    }
    if (row.kind == SettingKind::Address && !text.empty() && !IsNumericAddress(text)) {
      refuse("is not a numeric address: write one such as 127.0.0.1 or ::1, or nothing.");
    }
    if (row.kind != SettingKind::Number) continue;
    const std::optional<int> value = RowNumber(s, row);
    if (!value) {
      refuse(kNotWholeNumber);
      continue;
    }
    if (*value >= row.least && *value <= row.most) continue;
    // A gate that does not convert is refused on its own row.
    const int gate =
        row.boundsIf != nullptr ? FindKey(std::string(row.section) + "." + row.boundsIf) : -1;
    if (gate >= 0 && RowNumber(s, kSettingsTable[gate]).value_or(0) <= 0) continue;
    refuse(row.outOfRange);
  }
  return faults;
}

std::string SettingsProblem(const Settings& s, bool (*isEncoding)(std::string_view)) {
  const std::vector<SettingsFault> faults = SettingsFaults(s, isEncoding);
  if (faults.empty()) return {};
  const SettingsFault& first = faults.front();
  return Refusal(first.section + "." + first.key, first.text, first.reason);
}

int NumberOf(const Settings& s, std::string Settings::*member) {
  for (const SettingsKey& row : kSettingsTable) {
    if (row.value != member) continue;
    const std::string& text = s.*member;
    return row.emptyIsNone && text.empty() ? -1 : ToInt(KeyName(row), text);
  }
  return -1;
}

bool HoldsSettingsSection(const std::string& path) {
  const IniFile file = IniFile::Load(path);
  if (file.HasSection("BanList") || file.HasSection("Position")) return true;
  return std::any_of(std::begin(kSettingsTable), std::end(kSettingsTable),
                     [&](const SettingsKey& row) { return file.HasSection(row.section); });
}

LoadedSettings LoadSettings(const InstancePaths& paths, std::vector<SettingsFault>* faults) {
  IniFile ini = IniFile::Load(paths.settingsFile);
  LoadedSettings loaded;
  Settings& s = loaded.settings;
  for (const SettingsKey& row : kSettingsTable) {
    s.*row.value = ini.Read(row.section, row.key, DefaultText(row, paths));
  }
  // A value that does not convert stops a start; a check notes it and goes
  // on with the default.
  auto convert = [&](const char* section, const char* key, const std::string& text,
                     std::optional<int> value, std::string_view reason, int fallback) {
    if (value) return *value;
    if (faults == nullptr) {
      throw SettingsNumberError(Refusal(std::string(section) + "." + key, text, reason));
    }
    faults->push_back({section, key, text, std::string(reason)});
    return fallback;
  };
  auto number = [&](const char* section, const char* key, int fallback) {
    const std::string text = ini.Read(section, key, std::to_string(fallback));
    return convert(section, key, text, ParseDecimal(text), kNotWholeNumber, fallback);
  };
  auto colour = [&](const char* key, const std::string& text) {
    const std::string fallback = kSettingsTable[FindKey(std::string("Color.") + key)].text;
    return convert("Color", key, text, ColorFromText(text), kNotColour,
                   ColorFromText(fallback).value_or(0));
  };

  const int count = number("BanList", "Count", 0);
  const int loadCount = std::clamp(count, 0, kBanListCapacity);
  loaded.banListCut = count > kBanListCapacity;
  loaded.banList.reserve(static_cast<std::size_t>(loadCount));
  for (int i = 0; i < loadCount; ++i) {
    loaded.banList.push_back(ini.Read("BanList", BanKey(i), kMatchAll));
  }

  const WindowGeometry g;
  loaded.geometry.top = number("Position", "Top", g.top);
  loaded.geometry.left = number("Position", "Left", g.left);
  loaded.geometry.height = number("Position", "Height", g.height);
  loaded.geometry.width = number("Position", "Width", g.width);

  loaded.webLogBack = colour("WebLogBack", s.colorWebLogBack);
  loaded.webLogFore = colour("WebLogFore", s.colorWebLogFore);

  // Only a file that was read can hold this version, so the document is the
  // whole file and writing it loses nothing but the old section.
  if (s.programVersion == kTcpIpVersion && faults == nullptr) {
    ini.EraseSection("TcpIP");
    loaded.cleanupWriteFailed = !ini.Save(paths.settingsFile);
  }
  s.programVersion = base::kVersion;

  if (!s.serverMotdPath.empty()) s.motdLines = LoadMotd(s.serverMotdPath);
  s.operators = ini.Entries("Operators");
  return loaded;
}

bool SaveSettings(const std::string& settingsFile, const SettingsPage& page,
                  const std::vector<std::string>& banList) {
  return Update(settingsFile, [&](IniFile& ini) {
    for (int i = 0; i < kSettingsKeyCount; ++i) {
      const SettingsKey& row = kSettingsTable[i];
      if (row.field.page != SettingsPageId::None) ini.Write(row.section, row.key, page.texts[i]);
    }
    // The load reads no more than the capacity, so no more is written.
    const int count =
        static_cast<int>(std::min(banList.size(), static_cast<std::size_t>(kBanListCapacity)));
    ini.Write("BanList", "Count", std::to_string(count));
    for (int i = 0; i < count; ++i) ini.Write("BanList", BanKey(i), banList[i]);
  });
}

bool SaveWindowPosition(const std::string& settingsFile, const WindowGeometry& geometry) {
  return Update(settingsFile, [&](IniFile& ini) {
    ini.Write("Position", "Top", std::to_string(geometry.top));
    ini.Write("Position", "Left", std::to_string(geometry.left));
    ini.Write("Position", "Height", std::to_string(geometry.height));
    ini.Write("Position", "Width", std::to_string(geometry.width));
  });
}

bool SaveColors(const std::string& settingsFile, int webBack, int webFore, std::string_view logBack,
                std::string_view logFore) {
  return Update(settingsFile, [&](IniFile& ini) {
    ini.Write("Color", "WebLogBack", ColorToText(webBack));
    ini.Write("Color", "WebLogFore", ColorToText(webFore));
    ini.Write("Color", "LogBack", logBack);
    ini.Write("Color", "LogFore", logFore);
  });
}

bool SaveFileSettings(const std::string& settingsFile, const Settings& settings) {
  return Update(settingsFile, [&](IniFile& ini) {
    for (const SettingsKey& row : kSettingsTable) {
      if (row.field.page == SettingsPageId::None && row.applied != AppliedBy::Window) {
        ini.Write(row.section, row.key, settings.*row.value);
      }
    }
  });
}

std::vector<std::string> LoadMotd(const std::string& path) {
  std::vector<std::string> lines;
  std::error_code error;
  // Only a regular file: a folder reads as nothing and a pipe would block.
  if (!std::filesystem::is_regular_file(path, error)) return lines;
  std::ifstream in(path, std::ios::binary);
  if (!in) return lines;
  // Ten reads never take more than this, a read being one byte longer when
  // a carriage return ends it and its line feed follows.
  constexpr std::size_t kMostBytes = kMotdMaxLines * (kMotdReadBytes + 1);
  std::string data(kMostBytes, '\0');
  in.read(data.data(), static_cast<std::streamsize>(kMostBytes));
  data.resize(static_cast<std::size_t>(in.gcount()));

  const std::string_view text = data;
  std::size_t pos = 0;
  while (lines.size() < static_cast<std::size_t>(kMotdMaxLines) && pos < text.size()) {
    std::string_view chunk = text.substr(pos, kMotdReadBytes);
    const std::size_t lf = chunk.find('\n');
    if (lf != std::string_view::npos) {
      chunk = chunk.substr(0, lf + 1);
    } else if (pos + chunk.size() < text.size()) {
      // Cut by the read size, not by a line break. A carriage return that
      // ends the read belongs with its line feed; a double-byte character
      // stays whole.
      if (chunk.back() == '\r' && text[pos + chunk.size()] == '\n') {
        chunk = text.substr(pos, chunk.size() + 1);
      } else {
        chunk = chunk.substr(0, base::SjisPrefix(text.substr(pos), chunk.size()));
      }
    }
    pos += chunk.size();
    if (!chunk.empty() && chunk.back() == '\n') {
      chunk.remove_suffix(1);
      if (!chunk.empty() && chunk.back() == '\r') chunk.remove_suffix(1);
    }
    lines.emplace_back(chunk);
  }
  return lines;
}

std::optional<int> ColorFromText(std::string_view text) {
  for (const NamedColor& color : kNamedColors) {
    if (base::EqualsFolded(color.name, text)) return static_cast<int>(color.value);
  }
  if (!text.empty() && text.front() == '$') return ParseHex(text.substr(1));
  return ParseDecimal(text);
}

std::string ColorToText(int value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (const NamedColor& color : kNamedColors) {
    if (color.value == bits) return std::string(color.name);
  }
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "$";
  for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(bits >> shift) & 0xF];
  return text;
}

unsigned DisplayRgb(int value) {
  const auto bits = static_cast<std::uint32_t>(value);
  if ((bits & 0xFF000000u) == kSystemColorBase) {
    const std::uint32_t index = bits & 0x00FFFFFFu;
    return index < kSystemRgb.size() ? kSystemRgb[index] : kWhite;
  }
  if (bits == kClNone || bits == kClDefault) return kWhite;
  // Stored blue-green-red from the high byte down; shown red-green-blue.
  return ((bits & 0xFFu) << 16) | (bits & 0xFF00u) | ((bits >> 16) & 0xFFu);
}

}  // namespace zelkord::config
