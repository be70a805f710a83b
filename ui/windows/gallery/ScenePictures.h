// Pictures for the made-up card's photos (ResultsScene), so that the results
// window's cover flow and grid show thumbnails in the gallery: a copy-out
// object that reads each ".jpg" file of the card as a JPEG drawn here (a sky
// over a sea, in colours of the file's own), and nothing for other files.
#pragma once

#include <functional>

class IDataRecovery;

namespace resultsscene {

// Draws the pictures (main thread); the function makes copy-out objects
// over them, for Scene::SetCopyOut.
std::function<IDataRecovery*()> ScenePictures();

}  // namespace resultsscene
