// The controller's preview methods: the windows' one way to thumbnails of
// found files (see KVUIPreview.h for what they give and from which threads).
#include <QImage>

#include <cstdint>

#include "app/KVNode.h"
#include "app/KVUIController.h"
#include "app/KVUIPreview.h"

KVPreview KVUIController::GetNSImageByFildNode(IFileNode* node) { return KVUIPreview::GetNSImageByFildNode(node); }

KVPreview KVUIController::GetNSImageByFildNodeNSNumber(uintptr_t handle) {
  return KVUIPreview::GetNSImageByFildNode(reinterpret_cast<IFileNode*>(handle));
}

KVPreview KVUIController::GetNSImageByNode(const OpNodeData* row) {
  return row != nullptr ? KVUIPreview::GetNSImageByFildNode(row->fileNode()) : KVPreview();
}

QImage KVUIController::getVideoThumbFromPath(const QString& path) { return KVUIPreview::getVideoThumbFromPath(path); }
