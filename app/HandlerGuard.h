#pragma once

#include "Dialogs.h"
#include "ProgramError.h"

#include <QString>

#include <exception>
#include <utility>

// The one place where an error that escapes a handler or a timer tick reaches the operator:
// it is shown in an error box and the event loop goes on, so no exception ever passes
// through Qt. Every slot of the window runs its handler through this.
template <class Handler> void RunGuarded(Handler&& handler) noexcept {
    try {
        std::forward<Handler>(handler)();
    } catch (const ProgramError& error) {
        ShowErrorMessage(error.message());
    } catch (const std::exception& error) {
        ShowErrorMessage(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowErrorMessage(QString());
    }
}

// Start-up's guard: an error of the program's class shows its message, anything else an empty
// error box. Returns whether the step completed; the caller then ends with exit code 0.
template <class Step> bool RunStartUpStep(Step&& step) noexcept {
    try {
        std::forward<Step>(step)();
        return true;
    } catch (const ProgramError& error) {
        ShowErrorMessage(error.message());
    } catch (...) {
        ShowErrorMessage(QString());
    }
    return false;
}
