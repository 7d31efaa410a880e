// The configuration check and the template faults a start reports.
#include "server/config_check.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include "net/tls.h"
#include "text/encoding.h"

namespace zelkord::server {
namespace {

bool IsEncoding(std::string_view name) {
  return text::ParseEncoding(name).has_value();
}

std::string FaultLine(const std::string& file, const config::SettingsFault& fault) {
  return file + ": [" + fault.section + "] " + fault.key + ": \"" + fault.text + "\" " +
         fault.reason;
}

}  // namespace

std::vector<config::SettingsFault> TemplateFaults(const config::Settings& settings) {
  std::vector<config::SettingsFault> faults;
  if (settings.webSend != "Enable") return faults;
  for (const auto& [key, path] : {std::pair{"IndexForm", &settings.webIndexForm},
                                  std::pair{"LogForm", &settings.webLogForm}}) {
    if (std::string reason = config::UnreadableFile(*path); !reason.empty()) {
      faults.push_back({"Web", key, *path, std::move(reason)});
    }
  }
  return faults;
}

std::vector<std::string> CheckConfiguration(const config::InstancePaths& paths,
                                            const std::string& shippedFolder) {
  const std::string& file = paths.settingsFile;
  // A start would write a missing file with every default; a check of it
  // has nothing to check.
  if (std::string reason = config::UnreadableFile(file); !reason.empty()) {
    return {file + ": " + reason};
  }
  std::vector<config::SettingsFault> faults;
  const config::Settings settings = config::LoadSettings(paths, &faults).settings;
  for (config::SettingsFault& fault : config::SettingsFaults(settings, IsEncoding)) {
    faults.push_back(std::move(fault));
  }

  // A start copies a missing shipped file into place before it reads it.
  const std::vector<config::ShippedCopy> shipped =
      config::MissingShippedFiles(paths, settings, shippedFolder);
  auto placed = [&](const std::string& path) {
    return std::any_of(shipped.begin(), shipped.end(),
                       [&](const config::ShippedCopy& copy) { return copy.to == path; });
  };
  std::vector<config::SettingsFault> files = TemplateFaults(settings);
  // An empty path asks for no message of the day.
  if (const std::string& motd = settings.serverMotdPath; !motd.empty()) {
    if (std::string reason = config::UnreadableFile(motd); !reason.empty()) {
      files.insert(files.begin(), {"Server", "MotdPath", motd, std::move(reason)});
    }
  }
  std::vector<std::string> problems;
  for (const config::SettingsFault& fault : faults) problems.push_back(FaultLine(file, fault));
  for (const config::SettingsFault& fault : files) {
    if (!placed(fault.text)) problems.push_back(FaultLine(file, fault));
  }

  // Any TLS port asks for the pair, even one refused above.
  if (!settings.serverTlsPort.empty()) {
    std::string error;
    if (net::TlsCredentials::Load(config::BesideSettings(paths, settings.serverTlsCertificate),
                                  config::BesideSettings(paths, settings.serverTlsKey),
                                  error) == nullptr) {
      problems.push_back(file + ": [Server] TlsCertificate, TlsKey: " + error);
    }
  }
  return problems;
}

}  // namespace zelkord::server
