// ctlhost: hosts one control in a resizable frame, prints its events and
// runs an optional script against it (`ctlhost --help`).
#include "ctlhost/ctlhostframe.h"

int main(int argc, char** argv)
{
    return ctlhost::RunHost(argc, argv, {"ctlhost", ctlhost::UserVerbs(), {}});
}
