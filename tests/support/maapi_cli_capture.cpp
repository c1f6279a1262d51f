#include "maapi_cli_capture.h"

maapi_cli_capture::maapi_cli_capture(int sock, int usess) : sock_(sock), usess_(usess)
{
    uinfo_.usid = usess;
    uinfo_.msock = sock;
    uinfo_.actx.fd = -1;
    maapi_cli_sink_register(sock, usess, &maapi_cli_capture::sink, this);
}

maapi_cli_capture::~maapi_cli_capture()
{
    maapi_cli_sink_unregister(sock_, usess_);
}

void maapi_cli_capture::sink(int, int, const char *text, size_t len, void *arg)
{
    static_cast<maapi_cli_capture *>(arg)->text_.append(text, len);
}
