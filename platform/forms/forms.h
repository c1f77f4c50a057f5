// Everything a window is written with: forms, controls, menus, timers, grid, tree and list
// views, dialogs, the mail controls, the application object and the screen.
#pragma once

#include "forms/app.h"
#include "forms/control.h"
#include "forms/controls.h"
#include "forms/dialogs.h"
#include "forms/file_controls.h"
#include "forms/fonts.h"
#include "forms/form.h"
#include "forms/grid.h"
#include "forms/list_controls.h"
#include "forms/mail.h"
#include "forms/menu.h"
#include "forms/views.h"
