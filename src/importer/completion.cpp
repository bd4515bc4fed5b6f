#include <csignal>

#include "importer/importer.h"

namespace picferry {

void Importer::installCancelHandler() {
  for (const int signo : {SIGTERM, SIGINT}) {
    signalSources.push_back(platform_.signals.watch(signo, [weak = weak_from_this(),
                                                                &process = platform_.process] {
      const auto self = weak.lock();
      if (!self) process.exit(0);
      self->stopByRule();
    }));
  }
}

void Importer::emitDoneAndExit(bool waitForRecord) {
  // A stop ends at once: while it waited, the copy under way could be named
  // after the counts were told. What the record then misses is copied again
  // by a later --new-only, as a numbered variant.
  if (waitForRecord) record->flush(recordFlushSeconds);
  events_.emit({{"type", std::string("done")},
                {"downloaded", downloaded},
                {"skipped", skipped},
                {"unavailable", unavailable},
                {"dest", dest}});
  platform_.process.exit(0);
}

// A signal, "cancel" and the end of input all end the run this way: with the
// summary once an import has begun, silently before.
void Importer::stopByRule() {
  if (importing) emitDoneAndExit(false);
  platform_.process.exit(0);
}

}  // namespace picferry
