#include "LASPoint_C.h"

LASPoint_C* newLASPoint_C(int format) {
    switch (format) {
    case 0: return new LASPoint0_C();
    case 1: return new LASPoint1_C();
    case 2: return new LASPoint2_C();
    case 3: return new LASPoint3_C();
    default: return nullptr;
    }
}
