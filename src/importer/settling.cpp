#include "importer/importer.h"

namespace picferry {

void Importer::deviceDidBecomeReadyWithCompleteContentCatalog(CameraDevice&) {
  if (ready) return;
  ready = true;
  if (watchdog) watchdog->cancel();
  scheduleSettle();
}

// The items are not read here: the catalogue is read once, when it is final.
void Importer::cameraDeviceDidAddItems(CameraDevice&,
                                       const std::vector<std::shared_ptr<CameraItem>>&) {
  if (ready) scheduleSettle();
}

void Importer::cameraDeviceDidRemoveItems(CameraDevice&,
                                          const std::vector<std::shared_ptr<CameraItem>>&) {}

// A catalogue read in part is never reported as the device's content.
void Importer::cameraDeviceDidFailCatalogWithError(CameraDevice&, const DeviceError&) {
  if (finalized) return;
  exitDeviceUnreachable();
}

// (Re-)arms the one settle task: the catalogue is final after this many quiet seconds.
void Importer::scheduleSettle() {
  if (finalized) return;
  if (settleTimer) settleTimer->cancel();
  settleTimer = platform_.mainQueue.postAfter(settleQuietSeconds, [weak = weak_from_this()] {
    if (const auto self = weak.lock()) self->finalizeCatalog();
  });
}

}  // namespace picferry
