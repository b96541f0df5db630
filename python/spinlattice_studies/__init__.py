"""The examples' library: 2D Ising chains on spinlattice, their statistics and
their exact counterparts.

    exact       infinite-lattice and finite-torus exact results, T_c, exponents
    stats       binning, autocorrelation times, jackknife, reweighting (numpy)
    chains      one Markov chain, run inside a worker (spinlattice, numpy)
    executors   local processes or a Dask cluster; progress; shipping this package
    storage     series and per-chain checkpoints on disk, written atomically
    scaling     finite-size scaling of the critical point (scipy)
    reporting   tables, CSV and printed estimates
    figures     the figures (matplotlib)
    cli         the command line the scripts share

Workers import only chains and stats, so they need spinlattice and numpy alone.
"""
