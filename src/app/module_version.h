#pragma once
// CModuleVersion: the version block of a module loaded in this process (the
// program's own, for the dialog's title): the fixed file-version record and
// the string values of its first translation.
#include <windows.h>

#include <string>

namespace orvane::app {

class CModuleVersion : public VS_FIXEDFILEINFO {
 public:
  CModuleVersion();
  virtual ~CModuleVersion();
  CModuleVersion(const CModuleVersion&) = delete;
  CModuleVersion& operator=(const CModuleVersion&) = delete;

  // Loads the version block of the loaded module `moduleName` ("Orvane.exe").
  // True when the block holds a valid fixed record (signature 0xFEEF04BD).
  bool LoadVersionInfo(const std::wstring& moduleName);
  // The string value `key` ("ProductName") of the block's translation, or an
  // empty text.
  std::wstring GetValue(const std::wstring& key) const;

  WORD Language() const { return m_translation.language; }
  WORD CodePage() const { return m_translation.codePage; }

 private:
  struct Translation {
    WORD language = 0;
    WORD codePage = 1252;
  };
  BYTE* m_pVersionInfo = nullptr;  // the whole block; owned
  Translation m_translation;
};

// The file name of this program's own module without its folder
// ("Orvane.exe"): the name the dialog looks its version block up by.
std::wstring OwnModuleName();
// The folder of this program's own module, without a trailing separator.
std::wstring OwnModuleFolder();

}  // namespace orvane::app
