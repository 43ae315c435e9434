#include "app/module_version.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace orvane::app {
namespace {

std::wstring OwnModulePath() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return std::wstring(path.data(), length);
    path.resize(path.size() * 2);
  }
}

}  // namespace

CModuleVersion::CModuleVersion() : VS_FIXEDFILEINFO{} {}

CModuleVersion::~CModuleVersion() { delete[] m_pVersionInfo; }

bool CModuleVersion::LoadVersionInfo(const std::wstring& moduleName) {
  m_translation = Translation{};
  VS_FIXEDFILEINFO& fixed = *this;
  fixed = VS_FIXEDFILEINFO{};

  HMODULE module = GetModuleHandleW(moduleName.c_str());
  if (module == nullptr) return false;
  wchar_t fileName[MAX_PATH + 1] = {};
  if (GetModuleFileNameW(module, fileName, MAX_PATH) == 0) return false;

  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeW(fileName, &unused);
  if (size == 0) return false;
  delete[] m_pVersionInfo;
  m_pVersionInfo = new BYTE[size];
  if (!GetFileVersionInfoW(fileName, 0, size, m_pVersionInfo)) return false;

  void* root = nullptr;
  UINT rootLength = 0;
  if (!VerQueryValueW(m_pVersionInfo, L"\\", &root, &rootLength) || rootLength < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  std::memcpy(&fixed, root, sizeof(VS_FIXEDFILEINFO));

  void* translation = nullptr;
  UINT translationLength = 0;
  if (VerQueryValueW(m_pVersionInfo, L"\\VarFileInfo\\Translation", &translation, &translationLength) &&
      translationLength >= 4) {
    const WORD* pair = static_cast<const WORD*>(translation);
    m_translation.language = pair[0];
    m_translation.codePage = pair[1];
  }
  return dwSignature == 0xFEEF04BD;
}

std::wstring CModuleVersion::GetValue(const std::wstring& key) const {
  if (m_pVersionInfo == nullptr) return {};
  wchar_t query[128];
  std::swprintf(query, std::size(query), L"\\StringFileInfo\\%04x%04x\\%ls", m_translation.language,
                m_translation.codePage, key.c_str());
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(m_pVersionInfo, query, &value, &length) || value == nullptr || length == 0) return {};
  return std::wstring(static_cast<const wchar_t*>(value));
}

std::wstring OwnModuleName() {
  const std::wstring path = OwnModulePath();
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring OwnModuleFolder() {
  const std::wstring path = OwnModulePath();
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

}  // namespace orvane::app
