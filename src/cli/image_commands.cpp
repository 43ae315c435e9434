#include "cli/image_commands.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "catalogue/firmware_image.h"
#include "catalogue/image_builder.h"
#include "catalogue/image_set.h"
#include "catalogue/image_signatures.h"
#include "cli/json_writer.h"
#include "cli/terminal_text.h"
#include "platform/utf8_path.h"
#include "trust/crypto.h"
#include "trust/signed_list.h"

namespace orvane::cli {
namespace {

namespace fs = std::filesystem;

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::string Hex32(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

// Images are loaded by their full path, as the updater does.
std::string FullPath(const std::string& path) {
  std::error_code error;
  const fs::path full = fs::absolute(fs::path(std::u8string(path.begin(), path.end())), error);
  if (error) return path;
  const std::u8string text = full.lexically_normal().u8string();
  return std::string(text.begin(), text.end());
}

void WriteUnitsJson(JsonWriter& json, const CFirmwareImage& image) {
  json.Key("units").BeginArray();
  for (std::size_t i = 0; i < image.Units().size(); ++i) {
    const UnitHeader& unit = image.Units()[i];
    json.BeginObject()
        .Key("magic").Number(unit.Magic())
        .Key("header_length").Number(unit.HeaderLength())
        .Key("unlock_code").String(Hex(unit.UnlockCode(), 8))
        .Key("target").Number(unit.TargetAddress())
        .Key("length").Number(unit.DataLength())
        .Key("block_size").Number(unit.BlockSize())
        .Key("offset").Number(image.Extents()[i].offset)
        .EndObject();
  }
  json.EndArray();
}

void WriteUnitsText(std::ostream& out, const CFirmwareImage& image) {
  for (std::size_t i = 0; i < image.Units().size(); ++i) {
    const UnitHeader& unit = image.Units()[i];
    out << "  unit " << i << ": magic " << Hex32(unit.Magic()) << ", target " << Hex32(unit.TargetAddress())
        << ", " << unit.DataLength() << " bytes at offset " << image.Extents()[i].offset << ", block size "
        << unit.BlockSize() << ", unlock " << Hex(unit.UnlockCode(), 8) << "\n";
  }
}

bool ParseNumber(const std::string& text, std::uint32_t& value) {
  if (text.empty()) return false;
  std::size_t used = 0;
  try {
    const unsigned long long v = std::stoull(text, &used, 0);
    if (used != text.size() || v > 0xFFFFFFFFull) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
  } catch (...) {
    return false;
  }
}

bool ParseUnlock(const std::string& text, std::array<std::uint8_t, 8>& code) {
  if (text.size() != 16) return false;
  for (std::size_t i = 0; i < 8; ++i) {
    unsigned value = 0;
    for (std::size_t k = 0; k < 2; ++k) {
      const char c = text[2 * i + k];
      unsigned digit;
      if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
      else return false;
      value = value * 16 + digit;
    }
    code[i] = static_cast<std::uint8_t>(value);
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& data, std::string& error) {
  const fs::path p(std::u8string(path.begin(), path.end()));
  std::error_code ec;
  if (fs::is_directory(p, ec)) return error = path + ": is a directory", false;
  // A named pipe or a device would be read (or waited on) without end.
  if (fs::exists(p, ec) && !fs::is_regular_file(p, ec)) return error = path + ": not a regular file", false;
  std::ifstream in(p, std::ios::binary);
  if (!in) return error = path + ": cannot be opened for reading", false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return error = path + ": read error", false;
  return true;
}

// Writes beside the target and renames, so a failed pack never leaves a
// half-written image where the updater would pick it up.
bool WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& data, std::string& error) {
  const fs::path target(std::u8string(path.begin(), path.end()));
  fs::path temp = target;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return error = path + ": cannot be created", false;
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    out.flush();
    if (!out) {
      std::error_code ignored;
      fs::remove(temp, ignored);
      return error = path + ": write failed", false;
    }
  }
  std::error_code ec;
  fs::rename(temp, target, ec);
  if (ec) {
    fs::remove(temp, ec);
    return error = path + ": cannot be written (" + ec.message() + ")", false;
  }
  return true;
}

std::string WarningText(StringId id, const std::string& folder) {
  if (id == IDS_NO_VALID_IMAGE) return "Found none valid .bin file under " + folder;
  return LoadText(id);
}

int InspectImages(const InspectOptions& options, std::ostream& out, std::ostream& err) {
  trust::TrustedKeys keys;
  if (!LoadTrustedKeys(options.trust, keys, err, "image inspect")) return kExitUsage;
  bool allValid = true;
  JsonWriter json;
  json.BeginArray();
  for (const std::string& file : options.files) {
    CFirmwareImage image;
    image.SetPath(FullPath(file));
    const bool valid = image.LoadImage();
    // The bytes validated, as a check would freeze them; a file that did
    // not load has no such bytes and no signature state.
    const bool hashed = image.View() != nullptr;
    const trust::Sha256Digest digest = hashed ? trust::Sha256(image.View(), image.ViewSize()) : trust::Sha256Digest{};
    const fs::path folder = platform::Utf8Path(image.Path()).parent_path();
    const trust::SignedList list = trust::CheckSignedList(trust::ReadSignatureFile(platform::PathText(folder)), keys);
    const trust::ImageSignature signature = trust::JudgeImage(list, FileNameOf(image.Path()), digest);
    allValid = allValid && valid && (!keys.Configured() || trust::Passes(signature));
    if (options.json) {
      json.BeginObject()
          .Key("path").String(file)
          .Key("valid").Bool(valid)
          .Key("type").String(ImageTypeName(image.Type()))
          .Key("version").String(image.GetUpdateVersion())
          .Key("kind").Number(image.FileKind());
      WriteUnitsJson(json, image);
      json.Key("reason").String(valid ? "" : image.FailureReason())
          .Key("sha256").String(hashed ? trust::HexText(digest) : "")
          .Key("signature").String(hashed ? ImageSignatureCode(signature) : "")
          .Key("signer").String(hashed && trust::Passes(signature) ? trust::KeyNumberText(list.signer) : "")
          .EndObject();
    } else if (valid) {
      out << TerminalText(file) << ": valid " << ImageTypeName(image.Type()) << " image, version \""
          << TerminalText(image.GetUpdateVersion()) << "\", file kind " << image.FileKind() << ", " << image.Units().size()
          << (image.Units().size() == 1 ? " unit\n" : " units\n");
      WriteUnitsText(out, image);
    } else {
      out << TerminalText(file) << ": invalid: " << TerminalText(image.FailureReason()) << "\n";
    }
    if (!options.json && hashed) {
      out << "  SHA-256 " << trust::HexText(digest) << ", " << trust::ImageSignatureName(signature);
      if (trust::Passes(signature)) out << " by trusted key " << trust::KeyNumberText(list.signer);
      out << "\n";
    }
  }
  json.EndArray();
  if (options.json) out << json.Text() << "\n";
  return allValid ? kExitOk : kExitFailed;
}

int ScanDirectory(const ScanOptions& options, std::ostream& out, std::ostream& err) {
  const fs::path dir(std::u8string(options.directory.begin(), options.directory.end()));
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    err << "orvane image scan: " << options.directory << ": not a directory\n";
    return kExitUsage;
  }
  trust::TrustedKeys keys;
  if (!LoadTrustedKeys(options.trust, keys, err, "image scan")) return kExitUsage;
  const ImageSetPtr images = CImageSet::Scan(FullPath(options.directory));
  UpdateItems items;
  LoadItemNames(items);
  images->AttachTo(items);
  const DiscoveryReport& report = images->Report();
  const bool found = images->Usable();
  const SignatureCheck signatures = CheckImageSignatures(*images, keys, false);
  const bool refused = found && signatures.verdict == SignatureVerdict::Refused;

  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("ok").Bool(found).Key("items").BeginArray();
    for (int i = 0; i < kItemCount; ++i) {
      const CUpdateItem& item = items[i];
      json.BeginObject()
          .Key("item").String(ImageTypeName(static_cast<ImageType>(i)))
          .Key("name").String(item.m_strName)
          .Key("path").String(item.ImagePath())
          .Key("version").String(item.GetUpdateVersion())
          .Key("sha256").String(signatures.items[i].sha256)
          .Key("signature").String(item.HasImage() ? ImageSignatureCode(signatures.items[i].state) : "")
          .EndObject();
    }
    json.EndArray().Key("files").BeginArray();
    for (const DiscoveredFile& f : report.files) {
      json.BeginObject()
          .Key("path").String(f.path)
          .Key("type").String(ImageTypeName(f.type))
          .Key("assigned").Bool(f.assigned)
          .Key("reason").String(f.reason)
          .EndObject();
    }
    json.EndArray().Key("warning").String(found ? "" : LoadText(images->Warning()));
    WriteSignaturesJson(json, signatures, items);
    json.EndObject();
    out << json.Text() << "\n";
  } else {
    for (int i = 0; i < kItemCount; ++i) {
      const CUpdateItem& item = items[i];
      out << item.m_strName << ": ";
      if (!item.HasImage()) {
        out << "not found\n";
      } else {
        out << TerminalText(item.ImagePath()) << " (version \"" << TerminalText(item.GetUpdateVersion()) << "\")\n";
        out << "  SHA-256 " << signatures.items[i].sha256 << ", "
            << trust::ImageSignatureName(signatures.items[i].state) << "\n";
      }
    }
    for (const DiscoveredFile& f : report.files) {
      if (!f.assigned) out << "skipped " << TerminalText(f.path) << ": " << TerminalText(f.reason) << "\n";
    }
    if (!found) err << "Warning: " << TerminalText(WarningText(images->Warning(), FullPath(options.directory))) << "\n";
    if (refused) err << "Warning: " << LoadText(IDS_IMAGE_NOT_SIGNED) << ": " << TerminalText(signatures.RefusalText()) << "\n";
    if (!keys.Configured()) err << "Note: images are not signature-checked: no key is trusted\n";
  }
  return found && !refused ? kExitOk : kExitFailed;
}

int PackImage(const PackOptions& options, std::ostream& out, std::ostream& err) {
  const auto usage = [&](const std::string& message) {
    err << "orvane image pack: " << message << "\n";
    return kExitUsage;
  };
  ImagePlan plan;
  plan.type = ImageTypeFromName(options.type.c_str());
  if (plan.type == IMAGE_NONE) return usage("--type must be boot, app, resource, firmware or dashboard");
  plan.version = options.version;
  plan.blockSize = options.blockSize;
  if (!options.unlockHex.empty() && !ParseUnlock(options.unlockHex, plan.unlock)) {
    return usage("--unlock takes exactly 16 hex digits (8 bytes)");
  }
  if (options.targets.size() > options.payloads.size()) return usage("more --target values than payloads");
  for (std::size_t i = 0; i < options.payloads.size(); ++i) {
    ImageUnitPlan unit;
    std::string error;
    if (!ReadWholeFile(options.payloads[i], unit.data, error)) {
      err << "orvane image pack: " << error << "\n";
      return kExitFailed;
    }
    if (i < options.targets.size()) {
      std::uint32_t target = 0;
      if (!ParseNumber(options.targets[i], target)) return usage("bad --target address: " + options.targets[i]);
      unit.target = target;
    }
    plan.units.push_back(std::move(unit));
  }
  std::vector<std::uint8_t> image;
  std::string error;
  if (!BuildImage(plan, image, error)) {
    err << "orvane image pack: refused: " << error << "\n";
    return kExitFailed;
  }
  if (!WriteFileAtomically(options.output, image, error)) {
    err << "orvane image pack: " << error << "\n";
    return kExitFailed;
  }
  out << "wrote " << options.output << ": " << ImageTypeName(plan.type) << " image, version \"" << plan.version
      << "\", " << plan.units.size() << (plan.units.size() == 1 ? " unit, " : " units, ") << image.size()
      << " bytes\n";
  return kExitOk;
}

}  // namespace orvane::cli
