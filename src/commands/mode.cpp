// MODE: a nick's modes are the user modes' handler's; for a channel it
// answers a one-field query of an existing one; channels keep no modes, so
// every other channel MODE line is ignored in silence.
#include <string>

#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

// The mode field built from the key text: its second character, then a
// letter for each of the next four positions that is not '_'.
std::string ModeField(std::string_view keyField) {
  auto notBlank = [&](std::size_t position) {  // 1-based; beyond the end counts as set
    return position > keyField.size() || keyField[position - 1] != '_';
  };
  std::string field;
  if (keyField.size() >= 2 && keyField[1] != '_') field.push_back(keyField[1]);
  if (notBlank(3)) field.push_back('i');
  if (notBlank(4)) field.push_back('t');
  if (notBlank(5)) field.push_back('n');
  if (notBlank(6)) field.push_back('m');
  return field;
}

}  // namespace

irc::ConnState HandleMode(const Step& step) {
  const std::string& name = step.fields[0];
  if (!name.starts_with('#') && !name.starts_with('&')) return HandleUserMode(step);
  if (step.channels.FindChannel(name) == irc::kNotFound) return step.state;  // nick targets too
  if (step.count != 1) return step.state;  // mode changes are neither made nor refused
  const std::string keyField = step.channels.KeyFieldText(name);
  if (keyField.empty()) return step.state;
  irc::SendNumeric(step.protocol, step.slot, irc::kRplChannelModeIs, {name, ModeField(keyField)});
  return step.state;
}

}  // namespace zelkord::commands
