#pragma once
// The tray shell's balloon, as test programs see it: every text the gateway
// would have shown, in order.
#include <string>
#include <vector>

std::vector<std::string>& ShownBalloons();
