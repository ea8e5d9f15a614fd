// Which nonce-search kernel the driver launches: the product mines with fast; reference is the
// first kernel, kept so that a bench can measure the two side by side.
#pragma once

enum class MiningKernel { fast, reference };
