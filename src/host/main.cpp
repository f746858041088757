#include "host/start.h"

int main(int argc, char **argv)
{
    return start_main(argc, argv);
}
