// Steps of window procedures whose failures are skipped: the procedure goes on with its next
// step whatever this one did (unload, resize and the grid's fill work this way).
#pragma once

namespace basApp {

template <class Fn>
void ignoringFailure(Fn&& fn) {
    try {
        fn();
    } catch (...) {
        // Skipped without a word, as the window procedure goes on (see above).
    }
}

}  // namespace basApp
