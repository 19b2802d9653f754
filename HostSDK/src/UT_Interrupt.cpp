#include "UT/UT_Interrupt.h"

UT_Interrupt* UTgetInterrupt()
{
  static UT_Interrupt interrupt;
  return &interrupt;
}
