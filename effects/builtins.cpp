#include "effects/builtins.h"

const std::vector<lEffectInfo>& lBuiltInEffects()
{
    static const std::vector<lEffectInfo> effects = {
        {"rain", "drops fall from the top layer and splash on the floor", effects::rain},
        {"text", "--text scrolls round the sides of the cube", effects::text},
        {"snake", "a snake winds through the cube and grows on what it eats", effects::snake},
        {"wave", "a sheet of light rolls like the sea", effects::wave},
        {"ripple", "rings spread from the middle as on water", effects::ripple},
        {"fireworks", "rockets rise and burst into falling sparks", effects::fireworks},
        {"planes", "a plane of light sweeps along each axis in turn", effects::planes},
        {"balls", "balls fly and bounce off the walls", effects::balls},
        {"twinkle", "LEDs light up and fade away at random", effects::twinkle},
        {"spiral", "arms of a helix turn round the middle", effects::spiral},
        {"plasma", "colours flow through the whole cube", effects::plasma},
        {"boxes", "nested boxes grow out of the middle", effects::boxes},
        {"spectrum", "bars rise and fall like a sound's spectrum", effects::spectrum},
        {"lightning", "bolts strike from the top to the floor", effects::lightning},
        {"life", "the game of life in three dimensions", effects::life},
        {"sphere", "a sphere swells and shrinks in the middle", effects::sphere},
        {"spin", "a wireframe cube turns inside the cube", effects::spin},
        {"stars", "stars fly towards you from the back", effects::stars},
        {"fill", "the cube fills LED by LED, then empties", effects::fill},
        {"fade", "the whole cube glides through the palette", effects::fade},
    };
    return effects;
}
