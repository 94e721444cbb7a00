#include "app/MirelLauncherApp.h"

CMirelLauncherApp theApp;
