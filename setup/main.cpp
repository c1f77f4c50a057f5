// The firmware update utility: one modal dialog; the program ends when it closes.
#include "forms/form.h"
#include "setup/setup_dialog.h"

int main(int argc, char** argv) {
    (void)argc, (void)argv;
    setup::SetupDialog dialog;
    dialog.Show(forms::vbModal);
    return 0;
}
