#include "importer/importer.h"

namespace picferry {

Importer::Importer(Mode mode, std::unique_ptr<DeviceBrowser> browser, Platform platform,
                   std::unique_ptr<ImportRecord> record,
                   std::unique_ptr<ThumbnailMaker> thumbnails)
    : mode(std::move(mode)),
      browser(std::move(browser)),
      record(std::move(record)),
      thumbnailMaker(std::move(thumbnails)),
      platform_(platform),
      events_(platform.output) {
  if (this->mode.kind == Mode::Kind::importTo) {
    dest = this->mode.dest;
    skipExisting = this->mode.skipExisting;
    byteProgress = this->mode.byteProgress;
    newOnly = this->mode.newOnly;
    reasons = this->mode.reasons;
  }
  this->browser->setDelegate(this);
  this->browser->setBrowsedDeviceTypeMask(kDeviceTypeCamera | kDeviceLocationLocal);
}

void Importer::start() {
  installCancelHandler();
  if (mode.kind == Mode::Kind::importTo) {
    importing = true;
    if (const auto failure = platform_.fileSystem.createDirectories(mode.dest)) {
      events_.emitError("dest_unwritable", *failure);
      platform_.process.exit(1);
    }
  }
  if (mode.kind == Mode::Kind::session) setupStdinReader();
  if (mode.kind != Mode::Kind::devices) {
    watchdog = platform_.backgroundQueue.postAfter(watchdogSeconds, [weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->checkWatchdog();
    });
  }
  enumerationTimer =
      platform_.mainQueue.postAfter(maxEnumerationSeconds, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->finishEnumeration();
      });
  browser->start();
}

// Runs on the background queue: reads only atomics, then ends the run.
void Importer::checkWatchdog() {
  if (ready.load()) return;
  if (cameraTaken_.load()) exitDeviceUnreachable();
  events_.emitError("no_device", "No iPhone found. Connect, unlock, and tap Trust.");
  platform_.process.exit(1);
}

void Importer::exitDeviceUnreachable() {
  events_.emitError("device_unreachable",
                    "Couldn't reach the iPhone. Unlock it, unplug and replug, then try again.");
  platform_.process.exit(1);
}

}  // namespace picferry
