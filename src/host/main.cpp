// Entry of the player. Until start-up and the machine exist it only prints the
// usage line; the SDL call keeps the window library linked in.
#include <SDL3/SDL.h>

#include <cstdio>

int main()
{
    std::fputs("usage: halverd [options] [PROGRAM [args...]]\n", stderr);
    (void)SDL_GetVersion();
    return 0;
}
