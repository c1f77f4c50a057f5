// Dorvik: the Lumarel 460's mixer panel, living in the notification area.
#include "app/main_window.h"

int main() { return dorvik::WinMain(); }
