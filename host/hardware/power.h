// The module's power supply as a fault: a budget of flash operations after which the power
// fails. The operation in flight is left half done, the way a chip is left when its supply
// drops mid-operation, and the module stops: the process ends, ram/ is lost, boot.log says
// where the cut fell.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace host {

/// The power fails during the flash operation after the next `operations` ones (0: during
/// the very next one). Counting starts now. `landed` is how much of that operation reaches
/// the cells, in quarters (0 to 3; a program lands that part of its bytes, an erase that part
/// of its pages). Disarm with DisarmPowerCut.
void ArmPowerCut(std::uint64_t operations, int landed = 2);
void DisarmPowerCut();

/// A module opens: its count of flash operations starts again at 0, and the power fails
/// during the operation after `cut_after` more (faults.toml's [power]), or never.
void PowerOn(std::optional<std::uint64_t> cut_after);

/// Program and erase operations the chips started since the module was opened.
std::uint64_t FlashOperations();

/// Called by a chip as it starts a program or an erase. True when the power fails during this
/// operation: the chip then lands only PowerCutLanded() of it and calls PowerOff.
bool PowerFailsDuring();

/// The part of `units` that a cut operation lands: units * landed / 4.
std::uint32_t PowerCutLanded(std::uint32_t units);

/// Ends the module at once: boot.log gets "power cut during <what>", ram/ is cleared and the
/// process ends with status kPowerCutStatus, as a module without power runs nothing more.
[[noreturn]] void PowerOff(const std::string& what);

/// Exit status of a process whose module lost its power.
constexpr int kPowerCutStatus = 3;

}  // namespace host
