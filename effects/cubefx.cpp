// cubefx: plays effects on the cube of any edge from 3 to 16.
//
//   cubefx [OPTION]... [EFFECT[:KEY=VALUE,...]]...
//
// An animation program, run one directory below the viewer; cubefx --help
// tells the options, cubefx --list the effects.

#include "effects/lEffect.h"

int main(int argc, char** argv)
{
    return lPlayEffects(argc, argv, lBuiltInEffects());
}
