// ELF machine names (e_machine, System V gABI): the names readelf gives the common machines.
#include <algorithm>
#include <array>
#include <utility>

#include "media_thorough.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// Sorted by code. The five machines the default reading names keep its labels (readelf calls
// 3 and 62 "Intel 80386" and "Advanced Micro Devices X86-64"), so both readings agree on them.
constexpr std::array<std::pair<std::uint16_t, std::string_view>, 69> machines = {{
    {0, "None"sv},
    {1, "WE32100"sv},
    {2, "Sparc"sv},
    {3, "x86"sv},
    {4, "MC68000"sv},
    {5, "MC88000"sv},
    {6, "Intel MCU"sv},
    {7, "Intel 80860"sv},
    {8, "MIPS R3000"sv},
    {9, "IBM System/370"sv},
    {10, "MIPS R4000 big-endian"sv},
    {15, "HPPA"sv},
    {18, "Sparc v8+"sv},
    {19, "Intel 80960"sv},
    {20, "PowerPC"sv},
    {21, "PowerPC64"sv},
    {22, "IBM S/390"sv},
    {23, "SPU"sv},
    {36, "Renesas V850 (using RH850 ABI)"sv},
    {40, "ARM"sv},
    {42, "Renesas / SuperH SH"sv},
    {43, "Sparc v9"sv},
    {44, "Siemens Tricore"sv},
    {45, "ARC"sv},
    {46, "Renesas H8/300"sv},
    {50, "Intel IA-64"sv},
    {52, "Motorola Coldfire"sv},
    {53, "Motorola MC68HC12 Microcontroller"sv},
    {62, "x86-64"sv},
    {75, "Digital VAX"sv},
    {76, "Axis Communications 32-bit embedded processor"sv},
    {83, "Atmel AVR 8-bit microcontroller"sv},
    {87, "Renesas V850"sv},
    {88, "Renesas M32R (formerly Mitsubishi M32r)"sv},
    {89, "mn10300"sv},
    {92, "OpenRISC 1000"sv},
    {93, "ARCompact"sv},
    {94, "Tensilica Xtensa Processor"sv},
    {105, "Texas Instruments msp430 microcontroller"sv},
    {106, "Analog Devices Blackfin"sv},
    {113, "Altera Nios II"sv},
    {118, "Microchip Technology dsPIC30F Digital Signal Controller"sv},
    {140, "Texas Instruments TMS320C6000 DSP family"sv},
    {141, "Texas Instruments TMS320C2000 DSP family"sv},
    {142, "Texas Instruments TMS320C55x DSP family"sv},
    {144, "TI PRU I/O processor"sv},
    {164, "QUALCOMM DSP6 Processor"sv},
    {173, "Renesas RX"sv},
    {175, "MCST Elbrus general purpose hardware architecture"sv},
    {177, "Xilinx MicroBlaze"sv},
    {183, "AArch64"sv},
    {186, "STMicroeletronics STM8 8-bit microcontroller"sv},
    {188, "Tilera TILEPro multicore architecture family"sv},
    {190, "NVIDIA CUDA architecture"sv},
    {191, "Tilera TILE-Gx multicore architecture family"sv},
    {195, "ARCv2"sv},
    {197, "Renesas RL78"sv},
    {220, "Zilog Z80"sv},
    {223, "Moxie"sv},
    {224, "AMD GPU"sv},
    {243, "RISC-V"sv},
    {247, "Linux BPF"sv},
    {252, "C-SKY"sv},
    {253, "Synopsys ARCv2.3 64-bit"sv},
    {255, "Synopsys ARCv2.3 32-bit"sv},
    {256, "Kalray VLIW core of the MPPA processor family"sv},
    {258, "LoongArch"sv},
    {0x9026, "Alpha"sv},
    {0xA390, "IBM S/390"sv},
}};
static_assert(std::is_sorted(machines.begin(), machines.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; }));

} // namespace

std::string_view elf_machine_label(std::uint16_t code) noexcept {
  const auto* it =
      std::lower_bound(machines.begin(), machines.end(), code,
                       [](const auto& entry, std::uint16_t c) { return entry.first < c; });
  return it != machines.end() && it->first == code ? it->second : "other"sv;
}

} // namespace trawl
