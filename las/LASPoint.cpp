#include "LASPoint.h"

LASPoint* newLASPoint(int format) {
    switch (format) {
    case 0: return new LASPoint0();
    case 1: return new LASPoint1();
    case 2: return new LASPoint2();
    case 3: return new LASPoint3();
    default: return nullptr;
    }
}
