#include "config.h"

int main() {
  if (!station_center::ReadConfig(station_center::config_reader)) {
    return -1;
  }
  return 0;
}
