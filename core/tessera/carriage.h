// The teeth-bank "carriage": which four bundle members the borrowed-teeth
// pass needs, where they are, and the one rule that governs them (all four
// present = armed, any missing = refused).
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace le {

struct Manifest;

// Default member file names, in slot order.
struct TesseraSlots {
  static constexpr const char* kBankTrack = "tessera_bank.v1.mp4";
  static constexpr const char* kBankSidecar = "tessera_bank.v1.json";
  static constexpr const char* kHeadWeights = "tessera_head.v1.pt";
  static constexpr const char* kHeadConfig = "tessera_head.v1.json";
  static const std::array<const char*, 4>& names();
};

// Slot keys in their fixed order: bank_track, bank_sidecar, head_weights, head_config.
const std::array<const char*, 4>& tesseraSlotKeys();
constexpr int tesseraSlotCount() { return 4; }
// Index of a slot key, or -1.
int tesseraSlotIndex(const std::string& slotKey);

struct TesseraCarriage {
  std::array<std::string, 4> names;  // member file names, per slot
  std::array<std::string, 4> paths;  // resolved member paths, per slot
  bool complete = false;
  std::vector<std::string> missing;  // slot keys whose member cannot be opened, slot order
  bool declared = false;             // the manifest holds a "tessera" object
  std::vector<std::string> planes;   // the manifest's tessera.planes strings

  // Member path of a slot; an unknown key throws.
  const std::string& path(const std::string& slotKey) const;
};

// Thrown when the rule refuses a bundle; keeps the missing slot keys.
class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& what, std::vector<std::string> missing)
      : std::runtime_error(what), missing_(std::move(missing)) {}
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  std::vector<std::string> missing_;
};

// A carriage with the default names, no paths, undeclared and every slot missing.
TesseraCarriage tesseraDefaultCarriage();

// Finds the members of a bundle directory. Problems with the manifest leave
// the carriage undeclared with the default names; it never throws for them.
TesseraCarriage tesseraCarriage(const std::string& bundlePath);
// The same over a loaded manifest's bundle directory.
TesseraCarriage tesseraCarriage(const Manifest& manifest);

// Returns true when complete, else throws MissingTesseraMember.
bool requireTesseraMembers(const TesseraCarriage& carriage);

namespace tessera {
// The bundle's manifest path ("manifest.json", else "meta.json"), or "" when neither exists.
std::string manifestPathIn(const std::string& dir);
// Whole file; throws "teeth: cannot open <path>" / "teeth: short read <path>".
std::string readWholeFile(const std::string& path);
// True when `path` opens for reading as a regular file.
bool canOpenForReading(const std::string& path);
}  // namespace tessera

}  // namespace le
