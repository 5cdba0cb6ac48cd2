#include "App.h"

wxIMPLEMENT_APP(MyApp);
