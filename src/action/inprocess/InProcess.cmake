# The action's scan job: the engine run in the action's own process.
