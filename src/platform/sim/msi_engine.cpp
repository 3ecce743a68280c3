#include "msi_engine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <optional>

namespace sim {
namespace msi {
namespace {

// ---------------------------------------------------------------- the source

struct Node {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::vector<Node> children;
  std::string text;
  std::string Attribute(const std::string &key, const std::string &otherwise = "") const {
    auto found = attributes.find(key);
    return found == attributes.end() ? otherwise : found->second;
  }
};

std::string Unescape(const std::string &text) {
  static const std::pair<const char *, char> kEntities[] = {
      {"&quot;", '"'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}};
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    bool replaced = false;
    if (text[at] == '&')
      for (const auto &entity : kEntities)
        if (text.compare(at, std::strlen(entity.first), entity.first) == 0) {
          out += entity.second;
          at += std::strlen(entity.first) - 1;
          replaced = true;
          break;
        }
    if (!replaced) out += text[at];
  }
  return out;
}

// A small reader of the XML the package is written in: elements, attributes
// in double quotes, text; the declaration and comments are skipped.
class Reader {
 public:
  explicit Reader(const std::string &text) : text_(text) {}
  Node Document() {
    Skip();
    Node root = Element();
    Skip();
    if (at_ != text_.size()) Fatal("text after the root element");
    return root;
  }

 private:
  void Skip() {
    for (;;) {
      while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
      if (text_.compare(at_, 4, "<!--") == 0) {
        at_ = End("-->") + 3;
      } else if (text_.compare(at_, 2, "<?") == 0) {
        at_ = End("?>") + 2;
      } else {
        return;
      }
    }
  }
  size_t End(const char *what) {
    size_t found = text_.find(what, at_);
    if (found == std::string::npos) Fatal(std::string("no ") + what + " to end what is open");
    return found;
  }
  std::string Name() {
    size_t start = at_;
    while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) ||
                                  text_[at_] == '_' || text_[at_] == ':' || text_[at_] == '.'))
      ++at_;
    if (start == at_) Fatal("a name expected at offset " + std::to_string(start));
    return text_.substr(start, at_ - start);
  }
  Node Element() {
    if (text_[at_] != '<') Fatal("an element expected at offset " + std::to_string(at_));
    ++at_;
    Node node;
    node.name = Name();
    for (;;) {
      while (std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
      if (text_.compare(at_, 2, "/>") == 0) {
        at_ += 2;
        return node;
      }
      if (text_[at_] == '>') break;
      std::string key = Name();
      if (text_[at_] != '=' || text_[at_ + 1] != '"') Fatal("attribute " + key + " not in quotes");
      at_ += 2;
      size_t close = text_.find('"', at_);
      if (close == std::string::npos) Fatal("attribute " + key + " not closed");
      node.attributes[key] = Unescape(text_.substr(at_, close - at_));
      at_ = close + 1;
    }
    ++at_;
    for (;;) {
      size_t lt = text_.find('<', at_);
      if (lt == std::string::npos) Fatal("element " + node.name + " not closed");
      node.text += Unescape(text_.substr(at_, lt - at_));
      at_ = lt;
      if (text_.compare(at_, 4, "<!--") == 0) {
        at_ = End("-->") + 3;
      } else if (text_.compare(at_, 2, "</") == 0) {
        at_ += 2;
        if (Name() != node.name) Fatal("element " + node.name + " closed by another");
        at_ = End(">") + 1;
        return node;
      } else {
        node.children.push_back(Element());
      }
    }
  }
  const std::string &text_;
  size_t at_ = 0;
};

// The text with $(var.NAME) replaced and "$$" written as "$".
std::string Preprocess(const std::string &wxs, const std::map<std::string, std::string> &variables) {
  std::string out;
  for (size_t at = 0; at < wxs.size(); ++at) {
    if (wxs.compare(at, 6, "$(var.") == 0) {
      size_t close = wxs.find(')', at);
      std::string name = wxs.substr(at + 6, close - at - 6);
      auto found = variables.find(name);
      if (close == std::string::npos || found == variables.end())
        Fatal("no value for the variable " + name);
      out += found->second;
      at = close;
    } else if (wxs.compare(at, 2, "$$") == 0) {
      out += '$';
      ++at;
    } else {
      out += wxs[at];
    }
  }
  return out;
}

std::string Trimmed(const std::string &text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool YesNo(const Node &node, const std::string &key, bool otherwise) {
  std::string value = node.Attribute(key);
  if (value.empty()) return otherwise;
  if (value == "yes") return true;
  if (value == "no") return false;
  Fatal(node.name + " " + key + "=\"" + value + "\"");
}

// The directories a package of 32-bit components may name at the top.
std::string StandardDirectory(const std::string &id) {
  if (id == "TARGETDIR") return "C:";
  if (id == "SystemFolder") return M().SystemFilesDir();
  if (id == "ProgramFilesFolder") return M().is64Bit ? "C:\\Program Files (x86)" : "C:\\Program Files";
  Fatal("directory " + id + " is not modelled");
}

void ReadTree(const Node &node, const std::string &directory, Package &package) {
  for (const Node &child : node.children) {
    if (child.name == "Directory") {
      std::string id = child.Attribute("Id");
      std::string name = child.Attribute("Name");
      std::string path = name.empty() || id == "TARGETDIR" ? StandardDirectory(id)
                                                             : directory + "\\" + name;
      ReadTree(child, path, package);
    } else if (child.name == "Component") {
      Component component;
      component.id = child.Attribute("Id");
      component.permanent = YesNo(child, "Permanent", false);
      component.directory = directory;
      for (const Node &part : child.children) {
        if (part.name != "File") continue;
        if (!component.fileId.empty()) Fatal("component " + component.id + " has more than one file");
        component.fileId = part.Attribute("Id");
        component.fileName = part.Attribute("Name");
      }
      if (component.fileId.empty()) Fatal("component " + component.id + " has no file");
      package.components.push_back(component);
    } else if (child.name == "CustomAction") {
      CustomAction action;
      action.id = child.Attribute("Id");
      action.dllEntry = child.Attribute("DllEntry");
      action.execute = child.Attribute("Execute", "immediate");
      action.impersonate = YesNo(child, "Impersonate", true);
      std::string returns = child.Attribute("Return", "check");
      if (returns != "check" && returns != "ignore") Fatal("Return=\"" + returns + "\"");
      action.check = returns == "check";
      action.property = child.Attribute("Property");
      action.value = child.Attribute("Value");
      if (action.dllEntry.empty() == action.property.empty())
        Fatal("custom action " + action.id + " is neither a DLL entry nor a property set");
      if (!action.dllEntry.empty() && child.Attribute("BinaryKey").empty())
        Fatal("custom action " + action.id + " has no binary");
      package.actions.push_back(action);
    } else if (child.name == "Condition") {
      package.launchConditions.push_back({Trimmed(child.text), child.Attribute("Message")});
    } else if (child.name == "InstallExecuteSequence") {
      for (const Node &custom : child.children) {
        if (custom.name != "Custom") Fatal("sequence entry " + custom.name + " is not modelled");
        std::string sequence = custom.Attribute("Sequence");
        if (sequence.empty()) Fatal("action " + custom.Attribute("Action") + " without a number");
        package.sequence.push_back({custom.Attribute("Action"), std::stoi(sequence),
                                    Trimmed(custom.text)});
      }
    } else {
      ReadTree(child, directory, package);
    }
  }
}

// ---------------------------------------------------------------- a pass

// The standard actions of the script the package's actions run among.
enum { REMOVE_FILES = 3500, INSTALL_FILES = 4000, INSTALL_FINALIZE = 6600 };

const CustomAction &ActionNamed(const Package &package, const std::string &id) {
  for (const CustomAction &action : package.actions)
    if (action.id == id) return action;
  Fatal("no custom action " + id);
}

class PassRun {
 public:
  PassRun(const Package &package, const Dll &dll, const Pass &pass)
      : package_(package), dll_(dll), pass_(pass) {}

  PassResult Run() {
    ResetInstaller();
    if (pass_.state == STATE_ABSENT) S().properties["REMOVE"] = "ALL";
    if (!pass_.upgradingProductCode.empty())
      S().properties["UPGRADINGPRODUCTCODE"] = pass_.upgradingProductCode;
    if (pass_.privileged) S().properties["Privileged"] = "1";
    for (const auto &launch : package_.launchConditions) {
      if (Holds(launch.first)) continue;
      S().log.push_back(launch.second);
      result_.result = 1603;
      result_.session = S();
      return result_;
    }
    std::vector<Scheduled> order = package_.sequence;
    order.push_back({"RemoveFiles", REMOVE_FILES, ""});
    order.push_back({"InstallFiles", INSTALL_FILES, ""});
    std::stable_sort(order.begin(), order.end(),
                     [](const Scheduled &a, const Scheduled &b) { return a.sequence < b.sequence; });
    // The script is written: immediate actions run, deferred ones are
    // scheduled with what their condition and CustomActionData are now.
    struct Step {
      std::string action;
      std::string data;
    };
    std::vector<Step> script;
    bool failed = false;
    for (const Scheduled &entry : order) {
      if (entry.sequence >= INSTALL_FINALIZE || failed) continue;
      if (entry.action == "RemoveFiles" || entry.action == "InstallFiles") {
        script.push_back({entry.action, ""});
        continue;
      }
      if (!Holds(entry.condition)) continue;
      const CustomAction &action = ActionNamed(package_, entry.action);
      if (action.execute == "immediate") {
        failed = !RunImmediate(action);
      } else if (action.execute == "deferred") {
        auto data = S().properties.find(action.id);
        script.push_back({action.id, data == S().properties.end() ? "" : data->second});
      } else {
        Fatal("custom actions run as " + action.execute + " are not modelled");
      }
    }
    for (const Step &step : script) {
      if (failed) break;
      if (step.action == "RemoveFiles") {
        RemoveFiles();
      } else if (step.action == "InstallFiles") {
        InstallFiles();
      } else {
        const CustomAction &action = ActionNamed(package_, step.action);
        Identity as = !action.impersonate && M().version.platformId == VER_PLATFORM_WIN32_NT
                          ? kLocalSystem
                          : kUser;
        failed = !RunDll(action, Context::Deferred, step.data, as) && action.check;
      }
    }
    if (failed) {
      Rollback();
    } else {
      for (const Scheduled &entry : order)
        if (entry.sequence > INSTALL_FINALIZE && !failed && Holds(entry.condition))
          failed = !RunImmediate(ActionNamed(package_, entry.action));
    }
    result_.result = failed ? 1603 : S().rebootAtEnd ? 3010 : 0;
    result_.session = S();
    return result_;
  }

 private:
  int StateOf(const std::string &component) const {
    for (const Component &known : package_.components)
      if (known.id == component) return pass_.state;
    Fatal("no component " + component);
  }

  bool Holds(const std::string &condition) const {
    if (condition.empty()) return true;
    // NOT binds closer than AND.
    size_t both = condition.find(" AND ");
    if (both != std::string::npos)
      return Holds(Trimmed(condition.substr(0, both))) && Holds(Trimmed(condition.substr(both + 5)));
    if (condition.compare(0, 4, "NOT ") == 0) return !Holds(Trimmed(condition.substr(4)));
    // A property alone: whether it is set.
    if (condition.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_") ==
        std::string::npos) {
      auto found = S().properties.find(condition);
      return found != S().properties.end() && !found->second.empty();
    }
    if (condition[0] == '$') {
      size_t equals = condition.find('=');
      std::string value = equals == std::string::npos ? "" : Trimmed(condition.substr(equals + 1));
      if (value.empty() || value.find_first_not_of("-0123456789") != std::string::npos)
        Fatal("condition \"" + condition + "\" is not modelled");
      return StateOf(Trimmed(condition.substr(1, equals - 1))) == std::stoi(value);
    }
    size_t compare = condition.find("~=\"");
    if (compare != std::string::npos && condition.back() == '"') {
      std::string name = Trimmed(condition.substr(0, compare));
      std::string value = condition.substr(compare + 3, condition.size() - compare - 4);
      auto found = S().properties.find(name);
      return Fold(found == S().properties.end() ? "" : found->second) == Fold(value);
    }
    Fatal("condition \"" + condition + "\" is not modelled");
  }

  // The value of an action that sets a property: [#File] is the file's path.
  std::string Formatted(const std::string &value) const {
    if (value.compare(0, 2, "[#") != 0 || value.back() != ']')
      Fatal("property value \"" + value + "\" is not modelled");
    std::string id = value.substr(2, value.size() - 3);
    for (const Component &component : package_.components)
      if (component.fileId == id) return component.directory + "\\" + component.fileName;
    Fatal("no file " + id);
  }

  bool RunImmediate(const CustomAction &action) {
    if (action.dllEntry.empty()) {
      S().properties[action.property] = Formatted(action.value);
      return true;
    }
    return RunDll(action, Context::Immediate, "", kUser) || !action.check;
  }

  // Loads the DLL in the installer's process and calls the action's entry
  // with a handle of `context`, as `as`. TRUE when it succeeded.
  bool RunDll(const CustomAction &action, Context context, const std::string &data,
              const Identity &as) {
    auto entry = dll_.entries.find(action.dllEntry);
    if (entry == dll_.entries.end()) Fatal("the DLL has no entry " + action.dllEntry);
    Identity caller = M().caller;
    M().caller = as;
    M().inInstallerProcess = true;
    if (dll_.load) dll_.load();
    if (dll_.main) dll_.main(kCustomActionModule, 1 /* DLL_PROCESS_ATTACH */, nullptr);
    MSIHANDLE install = OpenInstallHandle(context, data);
    UINT result = entry->second(install);
    CloseInstallHandle(install);
    M().inInstallerProcess = false;
    M().caller = caller;
    result_.actions.push_back({action.id, as, result});
    if (result != ERROR_SUCCESS && result != 1603)
      Fatal("custom action " + action.id + " returned " + std::to_string(result));
    return result == ERROR_SUCCESS;
  }

  // Remembers a file as it was before this pass first changed it.
  void Keep(const std::string &path) {
    if (before_.count(Fold(path)) != 0) return;
    File *file = M().FindFile(path);
    before_[Fold(path)] = file ? std::optional<File>(*file) : std::nullopt;
  }

  void RemoveFiles() {
    if (pass_.state != STATE_ABSENT) return;
    for (const Component &component : package_.components) {
      if (component.permanent) continue;
      std::string path = component.directory + "\\" + component.fileName;
      Keep(path);
      M().RemoveFile(path);
    }
  }

  void InstallFiles() {
    if (pass_.state != STATE_LOCAL) return;
    for (const Component &component : package_.components) {
      auto file = pass_.files.find(component.fileId);
      if (file == pass_.files.end()) Fatal("no file given for " + component.fileId);
      std::string path = component.directory + "\\" + component.fileName;
      Keep(path);
      M().PutFileRecord(path, file->second);
    }
  }

  void Rollback() {
    for (const auto &kept : before_) {
      if (kept.second)
        M().PutFileRecord(kept.first, *kept.second);
      else
        M().RemoveFile(kept.first);
    }
  }

  const Package &package_;
  const Dll &dll_;
  const Pass &pass_;
  PassResult result_;
  std::map<std::string, std::optional<File>> before_;  // by folded path
};

}  // namespace

Package ReadPackage(const std::string &wxs, const std::map<std::string, std::string> &variables) {
  std::string text = Preprocess(wxs, variables);
  Node root = Reader(text).Document();
  if (root.name != "Wix") Fatal("the root element is " + root.name);
  Package package;
  ReadTree(root, "", package);
  for (const Scheduled &entry : package.sequence) ActionNamed(package, entry.action);
  return package;
}

PassResult RunPass(const Package &package, const Dll &dll, const Pass &pass) {
  return PassRun(package, dll, pass).Run();
}

}  // namespace msi
}  // namespace sim
