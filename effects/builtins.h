#pragma once

// The effects of cubefx, each made by a function of its own; builtins.cpp
// lists them in the order that cubefx plays them.

#include "effects/lEffect.h"

#include <memory>

namespace ledcube::effects {

// Particles: particles.cpp
std::unique_ptr<lEffect> rain();
std::unique_ptr<lEffect> fireworks();
std::unique_ptr<lEffect> balls();
std::unique_ptr<lEffect> stars();
std::unique_ptr<lEffect> lightning();
// Things that walk or grow step by step: walkers.cpp
std::unique_ptr<lEffect> snake();
std::unique_ptr<lEffect> life();
// Text: text.cpp
std::unique_ptr<lEffect> text();
// Fields of colour over the whole cube: fields.cpp
std::unique_ptr<lEffect> wave();
std::unique_ptr<lEffect> ripple();
std::unique_ptr<lEffect> plasma();
std::unique_ptr<lEffect> twinkle();
std::unique_ptr<lEffect> spectrum();
std::unique_ptr<lEffect> fade();
// Shapes: shapes.cpp
std::unique_ptr<lEffect> planes();
std::unique_ptr<lEffect> boxes();
std::unique_ptr<lEffect> sphere();
std::unique_ptr<lEffect> spin();
std::unique_ptr<lEffect> spiral();
std::unique_ptr<lEffect> fill();
// Following the sound: sound.cpp
std::unique_ptr<lEffect> bars();
std::unique_ptr<lEffect> pulse();
std::unique_ptr<lEffect> beat();
std::unique_ptr<lEffect> waveform();

}  // namespace ledcube::effects

namespace effects = ledcube::effects;
