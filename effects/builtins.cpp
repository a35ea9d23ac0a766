#include "effects/builtins.h"

namespace {

// An effect that does not follow the sound itself, with the setting "react"
// by which the player lets the sound's level move it.
template <std::unique_ptr<lEffect> (*make)()>
std::unique_ptr<lEffect> reacting()
{
    std::unique_ptr<lEffect> effect = make();
    effect->reactToSound();
    return effect;
}

}  // namespace

const std::vector<lEffectInfo>& lBuiltInEffects()
{
    static const std::vector<lEffectInfo> effects = {
        {"rain", "drops fall from the top layer and splash on the floor", reacting<effects::rain>},
        {"text", "--text scrolls round the sides of the cube", reacting<effects::text>},
        {"snake", "a snake winds through the cube and grows on what it eats", reacting<effects::snake>},
        {"wave", "a sheet of light rolls like the sea", reacting<effects::wave>},
        {"ripple", "rings spread from the middle as on water", reacting<effects::ripple>},
        {"fireworks", "rockets rise and burst into falling sparks", reacting<effects::fireworks>},
        {"planes", "a plane of light sweeps along each axis in turn", reacting<effects::planes>},
        {"balls", "balls fly and bounce off the walls", reacting<effects::balls>},
        {"twinkle", "LEDs light up and fade away at random", reacting<effects::twinkle>},
        {"spiral", "arms of a helix turn round the middle", reacting<effects::spiral>},
        {"plasma", "colours flow through the whole cube", reacting<effects::plasma>},
        {"boxes", "nested boxes grow out of the middle", reacting<effects::boxes>},
        // Shows the sound's own bands when there is a sound.
        {"spectrum", "bars rise and fall like a sound's spectrum", effects::spectrum},
        {"lightning", "bolts strike from the top to the floor", reacting<effects::lightning>},
        {"life", "the game of life in three dimensions", reacting<effects::life>},
        {"sphere", "a sphere swells and shrinks in the middle", reacting<effects::sphere>},
        {"spin", "a wireframe cube turns inside the cube", reacting<effects::spin>},
        {"stars", "stars fly towards you from the back", reacting<effects::stars>},
        {"fill", "the cube fills LED by LED, then empties", reacting<effects::fill>},
        {"fade", "the whole cube glides through the palette", reacting<effects::fade>},
        // These follow the sound themselves, and are dark without one: cubefx
        // plays them among every effect only when it hears one.
        {"bars", "an equaliser: a bar for each band, the last moments behind", effects::bars, true},
        {"pulse", "a ball in the middle throbs with the bass and flashes on the beat", effects::pulse, true},
        {"beat", "the cube bursts into light on each beat", effects::beat, true},
        {"waveform", "the sound's wave across the cube, the last moments behind", effects::waveform, true},
    };
    return effects;
}
