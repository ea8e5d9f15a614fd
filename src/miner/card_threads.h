// The threads that work for the cards of a rig, one each, in mining and in the bench alike.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Runs body(i) for each i of `indices` on a thread of its own and waits for them all.
void on_each(const std::vector<std::size_t>& indices, const std::function<void(std::size_t)>& body);

// What the lines of a card's thread start with: "GPU N: " in a rig of several cards, nothing for one.
std::string card_prefix(int gpu, std::size_t cards);
