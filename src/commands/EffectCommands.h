#pragma once
// The effect commands ("Effect Start", "Effect Stop", "Effects Stop All",
// "Get Running Effects", "Get Effects"), documented in docs/effects.md.

void RegisterEffectCommands();
