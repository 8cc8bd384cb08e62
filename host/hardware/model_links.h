// What a module gives each model it builds, as a board wires a chip to its neighbours: the
// models reach their module through these alone. A model made on its own (a test's) gets
// none of them.
#pragma once

namespace host {

class FlashImageFile;
class ModelNotes;
class PowerSupply;

struct ModelLinks {
  /// Where the model tells what the bus does not show (model_notes.h); null: nowhere.
  ModelNotes* notes = nullptr;
  /// The supply a chip's programs and erases can lose mid-operation (power.h); null: one that
  /// never fails.
  PowerSupply* power = nullptr;
  /// The mapped file a chip's cells live in (flash_activity.h); null: plain memory.
  FlashImageFile* image = nullptr;
};

}  // namespace host
