// ModelState: the load state of a model or a set of models.
//
// Driven by the model manager, the speech library and the diarization models; shown to users
// through description(). Plain enumeration; the functions are pure and thread-safe.
#pragma once

#include <ostream>
#include <string_view>

namespace noxtal {

enum class ModelState { unloading, unloaded, loading, loaded, prewarming, prewarmed, downloading, downloaded };

// "Unloading", "Unloaded", "Loading", "Loaded", "Specializing", "Specialized", "Downloading",
// "Downloaded".
std::string_view description(ModelState state);
// True for the transitional states: unloading, loading, prewarming, downloading.
bool isBusy(ModelState state);

std::ostream& operator<<(std::ostream& out, ModelState state);

}  // namespace noxtal
