// Whole runs from fixed seeds: spins, energy and the generator's position after
// Metropolis and Wolff legs at several temperatures, against values computed by
// the independent Python model of the tests (tests/oracle.py) on glibc. And the
// C library's exp for the model's arguments, bit for bit against glibc's: a run
// is the same everywhere only where that holds.

#include <cstdint>
#include <cstdio>
#include <utility>
#include <string>
#include <vector>

#include "check.hpp"
#include "model/exponential.hpp"
#include "model/lattice.hpp"
#include "model/metropolis.hpp"
#include "model/observables.hpp"
#include "model/wolff.hpp"

using spinlattice::model::Lattice;
using spinlattice::random::Seed;
using spinlattice::random::StdRng;

namespace {

// One leg: set the temperature, run the steps, then read the state.
struct Leg {
    double temperature;
    int metropolis_steps;
    int wolff_steps;
    std::string spins;  // '+' and '-' in site order
    double energy;
    std::uint64_t index;
};

struct Run {
    std::uint64_t width, height;
    double h_z;
    int seed_base;  // seed byte i is (seed_base * 37 + i) mod 256
    std::vector<Leg> legs;
};

const std::vector<Run> kRuns = {
    {7, 5, 0.3, 1,
     {{2.269, 2000, 40, "+++++-+++++++++++++++++++++++++++++", -0x1.1f99999999997p+6, 34},
      {0.5, 500, 5, "-----------------------------------", -0x1.dc00000000005p+5, 25},
      {9.0, 500, 20, "---+---+++++--+----++---+-+--+-----", -0x1.acccccccccccep+2, 7}}},
    {16, 16, -0.05, 2,
     {{1.7, 5000, 100, std::string(244, '-') + "+" + std::string(11, '-'), -0x1.02599999999aap+9, 4},
      {3.7, 3000, 50,
       "-++++++++++--+-++++++++------+++-++-+++-------+++++++++------+-+-++-+-+------++--+++-++--++------+++"
       "-++------++-++++----+-+---+-+++++---++-+---+++--+-+-++-+-+++-+--+++------+++-+++++++++-+++++-+++++++"
       "+++++-++--+++--+++--++++--++++++++--++--++++++++++------",
       -0x1.63cccccccccc7p+7, 36},
      {1.1, 2000, 30, std::string(256, '+'), -0x1.f333333333310p+8, 2}}},
};

// exp(-dE / T) for every uphill dE at h_z = 0, 0.3 and -0.05, and exp(-2 / T), at
// T = 0.5, 1.1, 1.7, 2.269, 3.7 and 9.0, as glibc 2.36 gives them.
const std::vector<std::pair<double, double>> kGlibcExp = {
    {-0x1.1333333333333p+4, 0x1.2327c4bb04e7cp-25}, {-0x1.0333333333333p+4, 0x1.8bb89ccda5951p-24},
    {-0x1.0000000000000p+4, 0x1.e355bbaee85cbp-24}, {-0x1.f99999999999ap+3, 0x1.272c5c8907198p-23},
    {-0x1.d99999999999ap+3, 0x1.912e9d85ff93dp-22}, {-0x1.2666666666666p+3, 0x1.a7ca3b4bbd164p-14},
    {-0x1.0666666666666p+3, 0x1.1ffec19cb6848p-12}, {-0x1.0000000000000p+3, 0x1.5fc21041027adp-12},
    {-0x1.f45d1745d1745p+2, 0x1.a5e5b1f4b713ep-12}, {-0x1.f333333333333p+2, 0x1.ada3655b1e06ap-12},
    {-0x1.d745d1745d173p+2, 0x1.4c572b7884823p-11}, {-0x1.d1745d1745d17p+2, 0x1.6bf81b5387749p-11},
    {-0x1.cba2e8ba2e8bap+2, 0x1.8e9b9fe7de0c3p-11}, {-0x1.b333333333333p+2, 0x1.23f82f5722180p-10},
    {-0x1.ae8ba2e8ba2e8p+2, 0x1.39fead38569e3p-10}, {-0x1.43c3c3c3c3c3cp+2, 0x1.a05a24f2230f9p-8},
    {-0x1.30f0f0f0f0f0fp+2, 0x1.175c331775581p-7}, {-0x1.2d2d2d2d2d2d3p+2, 0x1.28493a3c62503p-7},
    {-0x1.2969696969697p+2, 0x1.3a3cc8ffc88d5p-7}, {-0x1.169696969696ap+2, 0x1.a5b037a54c2f2p-7},
    {-0x1.0ba2e8ba2e8b9p+2, 0x1.f4640fd856e08p-7}, {-0x1.0000000000000p+2, 0x1.2c155b8213cf4p-6},
    {-0x1.e525cbdff52b3p+1, 0x1.72205bdd9f62cp-6}, {-0x1.dd1745d1745d0p+1, 0x1.8a2c1383b58a7p-6},
    {-0x1.d1745d1745d17p+1, 0x1.afaf70fa79f13p-6}, {-0x1.c8f0fe8884aeap+1, 0x1.cd5f62ebd03d2p-6},
    {-0x1.c5d1745d1745cp+1, 0x1.d8c4c0d7c3f22p-6}, {-0x1.c34cd57707c8fp+1, 0x1.e2293c67ffb83p-6},
    {-0x1.bda8ac658ae34p+1, 0x1.f7e2e076af24dp-6}, {-0x1.a173df0e1a66bp+1, 0x1.3a0dce9eb7b5dp-5},
    {-0x1.8ba2e8ba2e8b9p+1, 0x1.7469cdf69fab4p-5}, {-0x1.5a5a5a5a5a5a5p+1, 0x1.11a8c64d53025p-4},
    {-0x1.34b4b4b4b4b4bp+1, 0x1.6f3c1cb40c796p-4}, {-0x1.2d2d2d2d2d2d3p+1, 0x1.857c1faf12ca2p-4},
    {-0x1.2983759f22983p+1, 0x1.90caace37768ep-4}, {-0x1.25a5a5a5a5a5ap+1, 0x1.9d153ee70277dp-4},
    {-0x1.183759f229837p+1, 0x1.cac8680c75cd5p-4}, {-0x1.14c1bacf914c1p+1, 0x1.d759f8f3327cfp-4},
    {-0x1.114c1bacf914cp+1, 0x1.e443af7f4e5dfp-4}, {-0x1.037f61247146bp+1, 0x1.0db2176647417p-3},
    {-0x1.0000000000000p+1, 0x1.152aaa3bf81ccp-3}, {-0x1.d1745d1745d17p+0, 0x1.4c6ebfa3f1315p-3},
    {-0x1.ce95279a01945p+0, 0x1.502ed723e6aa2p-3}, {-0x1.c34cd57707c8fp+0, 0x1.5f54a6712cf0ap-3},
    {-0x1.b80483540dfd8p+0, 0x1.6f292f9417634p-3}, {-0x1.7f9ae8a52d046p+0, 0x1.c9ad0e81e9de2p-3},
    {-0x1.3e45306eb3e44p+0, 0x1.275eb391f9fbdp-2}, {-0x1.3333333333333p+0, 0x1.346c4167a12dfp-2},
    {-0x1.2d2d2d2d2d2d3p+0, 0x1.3bc4141d5d8f2p-2}, {-0x1.1bacf914c1bacp+0, 0x1.521b80cdedbc5p-2},
    {-0x1.14c1bacf914c1p+0, 0x1.5b5ebd8fa7b36p-2}, {-0x1.0dd67c8a60dd6p+0, 0x1.64e2f06f8de64p-2},
    {-0x1.e93e93e93e93ep-1, 0x1.89d42b05b24b4p-2}, {-0x1.d67c8a60dd67cp-1, 0x1.9886605e819efp-2},
    {-0x1.cccccccccccccp-1, 0x1.a053cc0086e1fp-2}, {-0x1.c71c71c71c71cp-1, 0x1.a4fa9ecad91c2p-2},
    {-0x1.c34cd57707c8fp-1, 0x1.a81fc8bc69ea7p-2}, {-0x1.c16c16c16c16cp-1, 0x1.a9aebfb397e09p-2},
    {-0x1.a4fa4fa4fa4fbp-1, 0x1.c2003b0022f0dp-2}, {-0x1.1745d1745d174p-1, 0x1.28be7bf1b498bp-1},
    {-0x1.14c1bacf914c1p-1, 0x1.2a34b3d96260fp-1}, {-0x1.05b05b05b05b0p-1, 0x1.331cc066a38bdp-1},
    {-0x1.d27d27d27d27cp-2, 0x1.44a82d83f0481p-1}, {-0x1.c71c71c71c71cp-2, 0x1.4848cbbe4955bp-1},
    {-0x1.bbbbbbbbbbbbcp-2, 0x1.4bf3ca1a4bdb2p-1}, {-0x1.82d82d82d82d8p-2, 0x1.5eea7e4170475p-1},
    {-0x1.6969696969697p-2, 0x1.67bd9d70cd846p-1}, {-0x1.0ec7b3476b122p-2, 0x1.89082f198e347p-1},
    {-0x1.c71c71c71c71cp-3, 0x1.99fa40bc6c5f7p-1}, {-0x1.999999999999ap-3, 0x1.a330ad6166159p-1},
    {-0x1.4c1bacf914c1bp-3, 0x1.b35af478cbb5fp-1}, {-0x1.745d1745d1746p-4, 0x1.d381efe4c5e23p-1},
    {-0x1.1111111111111p-4, 0x1.defac583c7dd4p-1}, {-0x1.e1e1e1e1e1e1fp-5, 0x1.e2c044ca444bep-1},
    {-0x1.690a445f396d9p-5, 0x1.e9eccdb5b917cp-1}, {-0x1.bacf914c1bad0p-6, 0x1.f258f4e234ba1p-1},
    {-0x1.6c16c16c16c17p-7, 0x1.fa57b496c489fp-1},
};

void exp_matches_glibc_for_the_model_arguments() {
    int differing = 0;
    for (const auto& [argument, value] : kGlibcExp) {
        const double got = spinlattice::model::libm_exp(argument);
        if (got != value) {
            ++differing;
            std::fprintf(stderr, "exp(%a) = %a here, %a on glibc\n", argument, got, value);
        }
    }
    CHECK_EQ(differing, 0);
}

std::string spins_of(const Lattice& lattice) {
    std::string text;
    for (std::uint64_t k = 0; k < lattice.site_count(); ++k) text += lattice.sites[k] > 0 ? '+' : '-';
    return text;
}

void runs_follow_the_model() {
    for (const Run& run : kRuns) {
        Seed seed{};
        for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = std::uint8_t((run.seed_base * 37 + int(i)) % 256);
        Lattice lattice =
            Lattice::create_with(StdRng::from_seed(seed), run.width, run.height, run.legs[0].temperature, run.h_z);
        for (const Leg& leg : run.legs) {
            lattice.set_temperature(leg.temperature);
            for (int i = 0; i < leg.metropolis_steps; ++i) spinlattice::model::simulation_step(lattice);
            for (int i = 0; i < leg.wolff_steps; ++i) spinlattice::model::wolff_step(lattice);
            check::record(spins_of(lattice) == leg.spins, "spins after the leg", __FILE__, __LINE__,
                          "at T = " + std::to_string(leg.temperature));
            CHECK_EQ(spinlattice::model::energy(lattice), leg.energy);
            CHECK_EQ(lattice.rng.index(), leg.index);
        }
    }
}

}  // namespace

int main() {
    exp_matches_glibc_for_the_model_arguments();
    runs_follow_the_model();
    return check::finish("test_fixed_seed_runs");
}
