#include "zor_daemon.h"

int main(int argc, char **argv)
{
    return zor_daemon_main(argc, argv);
}
