// The 1394 driver files of the Windows folder on the simulated platform.
//
// Start-up checks that the 1394 stack's driver files lie in the Windows folder with the dates the
// downloader was built against. On the simulated platform nothing installs that stack, so the
// program's entry puts stand-ins in place (small text files carrying those dates) before it
// starts, where none exist yet; files already there are left exactly as they are.
#pragma once

namespace imagelift {

// Creates each missing driver stand-in under the Windows folder of the platform root. Failures
// (a read-only root, say) are silent: the start-up check then reports the file as it finds it.
void PlaceDriverStandIns();

}  // namespace imagelift
