"""Records of the backtest: orders, stop orders, trades, positions and accounts."""
