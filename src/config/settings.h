// The settings file and what is read with it: where an instance's files
// live, the defaults, loading the record and checking it against the table,
// the ban list, the window position and the colours, the partial writes,
// the message of the day, the one number conversion that raises, and the
// toolkit's colour texts. Values stay the file's text; users convert numbers
// where they use them.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings_table.h"

namespace zelkord::config {

// The one exception in the system: a settings text that does not convert to
// a number. Its message names the value and the text, for the person at the
// desk.
class SettingsNumberError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a number that does not convert is told, after its key and text.
inline constexpr std::string_view kNotWholeNumber =
    "is not a whole number: write decimal digits with an optional sign, between -2147483648 and"
    " 2147483647.";

// One value of the settings file that a start refuses: its section, key and
// text, and why (a sentence to follow the text, such as kNotWholeNumber).
struct SettingsFault {
  std::string section;
  std::string key;
  std::string text;
  std::string reason;
};

// Converts a decimal text: an optional "+" or "-", then one or more ASCII
// digits and nothing else, within the range of a 32-bit int. Throws
// SettingsNumberError naming what (for example "Program.UserMax") and the
// text otherwise. Any thread.
[[nodiscard]] int ToInt(std::string_view what, std::string_view text);

// Where one instance's files live.
struct InstancePaths {
  std::string settingsFile;  // for example "build/zelkord.INI"
  std::string motdFile;      // the default Server.MotdPath, "build/zelkord.MTD"
  std::string folder;        // ends in "/", for example "build/"
};

// The paths derived from base, the program file: the bytes after the last
// dot of its file name replaced by "INI" and "MTD" (or "." and the extension
// appended when the name has no dot), and the folder up to and including the
// last "/" ("./" when base has none). Any thread.
[[nodiscard]] InstancePaths PathsFor(const std::string& base);

// As PathsFor, but configFile itself is the settings file, whatever its name;
// the message of the day and the folder derive from it. Any thread.
[[nodiscard]] InstancePaths PathsForConfig(const std::string& configFile);

// A path from the settings taken as relative to the settings file's folder
// unless it is absolute (or empty). Any thread.
[[nodiscard]] std::string BesideSettings(const InstancePaths& paths, const std::string& path);

// Every value at its default for an instance at paths; no message of the day.
// Any thread.
[[nodiscard]] Settings DefaultSettings(const InstancePaths& paths);

// The main window's place on the screen, in pixels.
struct WindowGeometry {
  int top = 100;
  int left = 100;
  int height = 386;
  int width = 546;
};

// What the settings pages show, and what SaveSettings writes: one text per
// row of kSettingsTable, a switch as exactly "Enable" or "Disable".
struct SettingsPage {
  std::vector<std::string> texts = std::vector<std::string>(kSettingsKeyCount);

  // The text of the key named "Section.Key"; the key must be in the table.
  [[nodiscard]] std::string& At(std::string_view name) { return texts.at(FindKey(name)); }
  [[nodiscard]] const std::string& At(std::string_view name) const {
    return texts.at(FindKey(name));
  }
};

// The page fields for a record. A switch shows as "Enable" only for exactly
// "Enable". Any thread.
[[nodiscard]] SettingsPage PageFromSettings(const Settings& settings);

// Every value of settings that its row refuses, in table order; none when
// every value is sound. isEncoding tells whether a text names an encoding.
// Any thread.
[[nodiscard]] std::vector<SettingsFault> SettingsFaults(const Settings& settings,
                                                        bool (*isEncoding)(std::string_view));

// The first of SettingsFaults as a message naming the key and its text
// ("Settings value Section.Key \"text\" " and the reason); empty when every
// value is sound. Any thread.
[[nodiscard]] std::string SettingsProblem(const Settings& settings,
                                          bool (*isEncoding)(std::string_view));

// The number that the Number row of member holds, or -1 for an empty text
// that the row takes as none. Throws SettingsNumberError when the text does
// not convert (SettingsProblem has not passed it). Any thread.
[[nodiscard]] int NumberOf(const Settings& settings, std::string Settings::*member);

inline constexpr int kBanListCapacity = 1024;
inline constexpr int kMotdMaxLines = 10;
// The most bytes one message-of-the-day read takes, line break included.
inline constexpr int kMotdReadBytes = 255;

// Everything LoadSettings reads.
struct LoadedSettings {
  Settings settings;
  std::vector<std::string> banList;  // at most kBanListCapacity, in index order
  bool banListCut = false;           // Count was above capacity: entries beyond it were not loaded
  WindowGeometry geometry;
  int webLogBack = 0, webLogFore = 0;  // colour values of Color.WebLogBack and WebLogFore
  // A file of version "1.04" had its [TcpIP] section removed but could not be
  // written; errno tells why.
  bool cleanupWriteFailed = false;
};

// Whether the file at path holds any section the settings use. Any thread.
[[nodiscard]] bool HoldsSettingsSection(const std::string& path);

// Reads the settings file (missing: every default): every value, the ban list
// (Count below zero loads none; a missing "Ip%d" below Count loads as
// "*.*.*.*"), the window position and the web view colours. A file whose
// Version is exactly "1.04" loses its [TcpIP] section and is written at once;
// nothing else is written. Program.Version comes back as base::kVersion whatever the
// file held. The message of the day is read when Server.MotdPath names a
// file. Throws SettingsNumberError for a BanList Count, a Position value or a
// web view colour that does not convert. Given faults, the load is a check
// instead: each such value is added there and its default used, and nothing
// is written. Main thread only (start-up).
[[nodiscard]] LoadedSettings LoadSettings(const InstancePaths& paths,
                                          std::vector<SettingsFault>* faults = nullptr);

// Each save below reads the file afresh, sets only its own keys, and writes
// the whole file. Each returns false, with errno set, when the file cannot be
// written. Main thread only.

// Writes the page's text of every row with a page field, in table order,
// and the ban list as BanList Count and
// "Ip0" onwards, at most kBanListCapacity entries. Keys beyond the new Count
// are left as they are. Nothing is validated.
[[nodiscard]] bool SaveSettings(const std::string& settingsFile, const SettingsPage& page,
                                const std::vector<std::string>& banList);

// Writes Position Top, Left, Height and Width as decimal texts.
[[nodiscard]] bool SaveWindowPosition(const std::string& settingsFile,
                                      const WindowGeometry& geometry);

// Writes Color WebLogBack and WebLogFore from the colour values webBack and
// webFore (as ColorToText gives them), then LogBack and LogFore as the texts
// they are.
[[nodiscard]] bool SaveColors(const std::string& settingsFile, int webBack, int webFore,
                              std::string_view logBack, std::string_view logFore);

// Writes the keys set only in the file (no page field, not a colour, such
// as [History]) as settings holds them, so the file shows each one.
[[nodiscard]] bool SaveFileSettings(const std::string& settingsFile, const Settings& settings);

// Reads at most kMotdMaxLines entries from the file at path. Each read takes
// at most kMotdReadBytes bytes up to and including a line feed, so a longer
// line yields several entries; the line feed and a carriage return before it
// are removed. A line whose carriage return fills a read keeps its line feed
// with it rather than giving an empty entry. A missing file gives none. Any
// thread.
[[nodiscard]] std::vector<std::string> LoadMotd(const std::string& path);

// The folder of the files the program ships, ending in '/': share/zelkord
// beside the bin or sbin folder of an installed program, else the
// program's own folder when that is a build folder (the build copies them
// beside it); empty when neither holds. Any thread.
[[nodiscard]] std::string ShippedFolder();

// A shipped file and the place it is copied to.
struct ShippedCopy {
  std::string from;
  std::string to;
};

// The shipped message of the day and templates an instance lacks: each of
// them that the settings name at its default place beside the settings file,
// that is missing there and that shippedFolder holds. Any thread.
[[nodiscard]] std::vector<ShippedCopy> MissingShippedFiles(const InstancePaths& paths,
                                                           const Settings& settings,
                                                           const std::string& shippedFolder);

// Copies each of MissingShippedFiles into place. Returns the paths written.
// Any thread.
std::vector<std::string> PlaceShippedFiles(const InstancePaths& paths, const Settings& settings,
                                           const std::string& shippedFolder);

// Why the file at path cannot be read whole: "is missing", "is not a file"
// or "cannot be read: " and the system's reason; empty when it can. Any
// thread.
[[nodiscard]] std::string UnreadableFile(const std::string& path);

// The toolkit's colour identifiers, matched without regard to ASCII letter
// case, "$" and one to eight hexadecimal digits, or a decimal int; the colour
// value (0x00BBGGRR, 0xFF000000 plus an index for a system colour), or
// nullopt for any other text. Any thread.
[[nodiscard]] std::optional<int> ColorFromText(std::string_view text);

// The colour's identifier when it has one, otherwise "$" and eight upper-case
// hexadecimal digits. Any thread.
[[nodiscard]] std::string ColorToText(int value);

// The colour as 0xRRGGBB for display. System colours take the usual light
// theme; clNone, clDefault and unknown system colours show as the window
// background (white). Any thread.
[[nodiscard]] unsigned DisplayRgb(int value);

}  // namespace zelkord::config
