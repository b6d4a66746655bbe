#pragma once
// Configuration of the simulated instrument (filled in below).
namespace vozisim {
struct SimConfig {};
}  // namespace vozisim
