// Restoring part of a configuration file: only the chosen system parameters,
// input names and custom name go back to the unit; every other value sent is
// the unit's own, read from it just before. Used by `brennmark-cli restore
// --only` and the Compare dialog.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace bm {

class DeviceModel;
struct ConfigFileContents;

struct RestoreSelection {
    std::set<std::uint8_t> params;           // system parameter ids
    std::array<bool, 8> inputNames{};        // by input index
    bool customName = false;

    bool empty() const;
};

// Parameter ids of the named groups (a group has only the parameters this
// unit's definitions name).
//   speakers: the speaker size, crossover and subwoofer parameters
//   levels:   the eight output levels
//   tone:     bass, treble, tilt and loudness
//   names:    the eight input names and the custom name
// The names diff gives a difference are taken too: "input-name-1" to
// "input-name-8", "custom-name", and the controls table's name of a parameter
// ("volume"). Any other word must be a parameter name of the definitions.
// False, with the unknown word in `error`, when a word is none of these.
bool selectionFromNames(const DeviceModel& model, const std::vector<std::string>& words,
                        RestoreSelection& selection, std::string& error);

// True for the words that name a group ("speakers", "levels", "tone", "names"),
// whatever the unit's definitions.
bool isSelectionGroup(const std::string& word);

// Writes the selection from the file (as loadConfigFile accepted it) to the
// unit, whose model must be fresh (a status sweep just ended). The identity is
// checked as the full restore checks it before anything is sent. Each chosen name is sent and
// its acknowledgement awaited; the custom name goes with `customNameShown` as
// its display switch. Parameters: the unit's
// values are read again, the selected ones replaced by the file's, and all
// are written back only when one of them differs. `written` counts the
// parameters and names that changed. False with the reason in `error`.
bool RestoreSelected(DeviceModel& model, const ConfigFileContents& file, const RestoreSelection& selection,
                     bool customNameShown, int& written, std::string& error);

} // namespace bm
