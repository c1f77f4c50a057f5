// Sending the status log to the maker's support in one step (the main window's
// "&Send Error Report").
//
// The report is a mail with a copy of the whole settings-and-log store attached, handed to the
// user's mail program with its compose window shown, so the user sees and may change it
// before it goes. The support address is the setting "Settings"/"SupportEmailAddress"; when it
// is blank the user is offered to enter one.
#pragma once

#include "forms/mail.h"

#include <cstdint>

// Runs the report with the main window's mail controls, through the program-wide store.
// 1 when the mail was handed to the mail program, -1 otherwise (the user was told why, unless
// they cancelled the mail themselves).
int32_t SendErrorReport(forms::MAPISession& MAPISession1, forms::MAPIMessages& MAPIMessages1);
