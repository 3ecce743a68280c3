#include "msi_model.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "machine.h"

namespace sim {
namespace msi {

void Fatal(const std::string &message) {
  std::fprintf(stderr, "simulated installer: %s\n", message.c_str());
  std::abort();
}

namespace {

[[noreturn]] void NotModelled(const std::string &what) { Fatal("not modelled: " + what); }

struct InstallObject {
  Context context;
  std::string customActionData;
};
using Record = std::vector<std::optional<std::string>>;

struct State {
  Session session;
  std::map<MSIHANDLE, InstallObject> installs;
  std::map<MSIHANDLE, Record> records;
  MSIHANDLE next = 0x100;
};
State &St() {
  static State state;
  return state;
}

std::string ModeName(MSIRUNMODE mode) {
  switch (mode) {
    case MSIRUNMODE_REBOOTATEND:
      return "MSIRUNMODE_REBOOTATEND";
    case MSIRUNMODE_REBOOTNOW:
      return "MSIRUNMODE_REBOOTNOW";
    case MSIRUNMODE_SCHEDULED:
      return "MSIRUNMODE_SCHEDULED";
    case MSIRUNMODE_ROLLBACK:
      return "MSIRUNMODE_ROLLBACK";
    case MSIRUNMODE_COMMIT:
      return "MSIRUNMODE_COMMIT";
  }
  return "MSIRUNMODE " + std::to_string(static_cast<int>(mode));
}

InstallObject *Install(MSIHANDLE handle) {
  auto found = St().installs.find(handle);
  return found == St().installs.end() ? nullptr : &found->second;
}

Record *RecordOf(MSIHANDLE handle) {
  auto found = St().records.find(handle);
  return found == St().records.end() ? nullptr : &found->second;
}

void Refuse(const InstallObject &install, const std::string &call) {
  S().refused.push_back(std::string(ContextName(install.context)) + ": " + call);
}

// Field 0 of the record with each [n] replaced by field n's text.
std::string Format(const Record &record) {
  if (!record[0]) NotModelled("a message without a format text in field 0");
  const std::string &format = *record[0];
  std::string out;
  for (size_t at = 0; at < format.size(); ++at) {
    if (format[at] != '[') {
      out += format[at];
      continue;
    }
    size_t close = format.find(']', at);
    std::string inside = format.substr(at + 1, close == std::string::npos ? 0 : close - at - 1);
    if (close == std::string::npos || inside.empty() ||
        inside.find_first_not_of("0123456789") != std::string::npos)
      NotModelled("the format text \"" + format + "\": only [n] fields are modelled");
    size_t field = std::stoul(inside);
    if (field < record.size() && record[field]) out += *record[field];
    at = close;
  }
  return out;
}

}  // namespace

const char *ContextName(Context context) {
  switch (context) {
    case Context::Immediate:
      return "immediate";
    case Context::Deferred:
      return "deferred";
    case Context::Commit:
      return "commit";
    case Context::Rollback:
      return "rollback";
  }
  return "?";
}

Session &S() { return St().session; }

void ResetInstaller() { St() = State(); }

MSIHANDLE OpenInstallHandle(Context context, const std::string &customActionData) {
  MSIHANDLE handle = St().next++;
  St().installs[handle] = {context, customActionData};
  return handle;
}

void CloseInstallHandle(MSIHANDLE install) {
  if (St().installs.erase(install) == 0) NotModelled("closing an install handle that is not open");
  if (!St().records.empty())
    M().Defect(std::to_string(St().records.size()) + " installer records left open");
  St().records.clear();
}

}  // namespace msi
}  // namespace sim

using sim::M;
using sim::msi::Context;
using sim::msi::S;

UINT WINAPI MsiGetPropertyA(MSIHANDLE hInstall, LPCSTR szName, LPSTR szValueBuf,
                            LPDWORD pcchValueBuf) {
  M().Enter("MsiGetPropertyA", {szName ? szName : "(null)"}, false);
  sim::msi::InstallObject *install = sim::msi::Install(hInstall);
  if (!install) return ERROR_INVALID_HANDLE;
  if (!szName || !szValueBuf || !pcchValueBuf)
    sim::msi::NotModelled("MsiGetPropertyA without a name or buffer");
  const std::string name = szName;
  std::string value;
  if (install->context == Context::Immediate) {
    auto found = S().properties.find(name);
    if (found != S().properties.end()) value = found->second;
  } else if (name == "CustomActionData") {
    value = install->customActionData;
  } else if (name == "ProductCode" && install->context != Context::Commit) {
    value = S().productCode;
  } else if (name == "UserSID") {
    value = S().userSid;
  } else {
    // Not in the script: the empty value of a property that is not set.
    sim::msi::Refuse(*install, "MsiGetPropertyA(" + name + ")");
  }
  // As much as fits, ended; the whole length when it does not fit.
  DWORD capacity = *pcchValueBuf;
  if (capacity > 0) {
    size_t count = std::min<size_t>(value.size(), capacity - 1);
    std::memcpy(szValueBuf, value.data(), count);
    szValueBuf[count] = 0;
  }
  *pcchValueBuf = static_cast<DWORD>(value.size());
  return value.size() < capacity ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

UINT WINAPI MsiSetMode(MSIHANDLE hInstall, MSIRUNMODE eRunMode, BOOL fState) {
  const std::string call =
      "MsiSetMode(" + sim::msi::ModeName(eRunMode) + ", " + std::to_string(fState) + ")";
  M().Enter("MsiSetMode", {sim::msi::ModeName(eRunMode), std::to_string(fState)}, false);
  sim::msi::InstallObject *install = sim::msi::Install(hInstall);
  if (!install) return ERROR_INVALID_HANDLE;
  if (install->context != Context::Immediate || eRunMode != MSIRUNMODE_REBOOTATEND) {
    if (install->context == Context::Immediate && eRunMode == MSIRUNMODE_REBOOTNOW)
      sim::msi::NotModelled("MSIRUNMODE_REBOOTNOW");
    sim::msi::Refuse(*install, call);
    return ERROR_ACCESS_DENIED;
  }
  S().rebootAtEnd = fState != FALSE;
  S().modesSet.push_back(sim::msi::ModeName(eRunMode) + "=" + std::to_string(fState != FALSE));
  return ERROR_SUCCESS;
}

BOOL WINAPI MsiGetMode(MSIHANDLE hInstall, MSIRUNMODE eRunMode) {
  M().Enter("MsiGetMode", {sim::msi::ModeName(eRunMode)}, false);
  sim::msi::InstallObject *install = sim::msi::Install(hInstall);
  if (!install) return FALSE;
  switch (eRunMode) {
    case MSIRUNMODE_SCHEDULED:
      return install->context == Context::Deferred;
    case MSIRUNMODE_COMMIT:
      return install->context == Context::Commit;
    case MSIRUNMODE_ROLLBACK:
      return install->context == Context::Rollback;
    case MSIRUNMODE_REBOOTATEND:
      if (install->context == Context::Immediate) return S().rebootAtEnd;
      sim::msi::Refuse(*install, "MsiGetMode(" + sim::msi::ModeName(eRunMode) + ")");
      return FALSE;
    default:
      sim::msi::NotModelled("MsiGetMode(" + sim::msi::ModeName(eRunMode) + ")");
  }
}

int WINAPI MsiProcessMessage(MSIHANDLE hInstall, INSTALLMESSAGE eMessageType, MSIHANDLE hRecord) {
  M().Enter("MsiProcessMessage", {std::to_string(static_cast<long>(eMessageType))}, false);
  if (!sim::msi::Install(hInstall)) return -1;
  if (eMessageType != INSTALLMESSAGE_INFO) sim::msi::NotModelled("messages other than INSTALLMESSAGE_INFO");
  sim::msi::Record *record = sim::msi::RecordOf(hRecord);
  if (!record) return -1;
  S().log.push_back(sim::msi::Format(*record));
  return 1;  // IDOK
}

MSIHANDLE WINAPI MsiCreateRecord(UINT cParams) {
  M().Enter("MsiCreateRecord", {std::to_string(cParams)}, false);
  MSIHANDLE handle = sim::msi::St().next++;
  sim::msi::St().records[handle] = sim::msi::Record(cParams + 1);
  return handle;
}

UINT WINAPI MsiRecordSetStringA(MSIHANDLE hRecord, UINT iField, LPCSTR szValue) {
  M().Enter("MsiRecordSetStringA", {std::to_string(iField), szValue ? szValue : "(null)"}, false);
  sim::msi::Record *record = sim::msi::RecordOf(hRecord);
  if (!record) return ERROR_INVALID_HANDLE;
  if (iField >= record->size()) return ERROR_INVALID_PARAMETER;
  (*record)[iField] = szValue && *szValue ? std::optional<std::string>(szValue) : std::nullopt;
  return ERROR_SUCCESS;
}

UINT WINAPI MsiRecordSetInteger(MSIHANDLE hRecord, UINT iField, int iValue) {
  M().Enter("MsiRecordSetInteger", {std::to_string(iField), std::to_string(iValue)}, false);
  sim::msi::Record *record = sim::msi::RecordOf(hRecord);
  if (!record) return ERROR_INVALID_HANDLE;
  if (iField >= record->size()) return ERROR_INVALID_PARAMETER;
  (*record)[iField] = std::to_string(iValue);
  return ERROR_SUCCESS;
}

UINT WINAPI MsiCloseHandle(MSIHANDLE hAny) {
  M().Enter("MsiCloseHandle", {std::to_string(hAny)}, false);
  if (sim::msi::St().records.erase(hAny) != 0) return ERROR_SUCCESS;
  if (sim::msi::Install(hAny)) sim::msi::NotModelled("a custom action closing its install handle");
  return ERROR_INVALID_HANDLE;
}
