// The results window's picture views: the cover flow (a row of pictures over
// a second file list) and the grid of thumbnails, and the stop of their
// loaders, which every change of the file list asks for first.
#include <QThreadPool>

#include <chrono>
#include <thread>

#include "ui/widgets/CNGridView.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/windows/KVDeletailWindowController.h"

namespace {

// Asks a loader to stop and waits until it says it has (state 2), or until
// `idle` says nothing is left that could answer.
void StopLoader(std::atomic<int>& state, const std::function<bool()>& idle) {
  int running = 0;
  if (!state.compare_exchange_strong(running, 1)) return;
  while (state.load() != 2 && !idle()) std::this_thread::sleep_for(std::chrono::microseconds(10));
  state = 2;
}

}  // namespace

void KVDeletailWindowController::stopImageLoading() {
  // The cover flow's loader always answers.
  StopLoader(nImageState, [] { return false; });
}

void KVDeletailWindowController::stopGridImageLoading() {
  // Loads cancelled before they ran never answer: the wait ends when none
  // runs any more.
  if (operationQueue != nullptr) operationQueue->clear();
  StopLoader(gridImageState, [this] { return operationQueue == nullptr || operationQueue->activeThreadCount() == 0; });
}

// No thumbnails are made yet: the picture views show the rows they are told
// of without pictures.
void KVDeletailWindowController::showGridView() { gridMainView->reloadData(); }

void KVDeletailWindowController::showCoverFlowerViewWithRefresh(int) { flowView->reloadData(); }

void KVDeletailWindowController::selectedCoverFlow(qint64 index) {
  flowView->setSelectedIndex(index);
  flowSelectedIndex = index;
  stopImageLoading();
}
