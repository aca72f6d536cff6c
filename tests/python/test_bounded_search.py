import numpy as np
import pytest
from conftest import vectors

import varnel
from varnel import SkerryIndex, _varnel


@pytest.mark.parametrize("bits", [2, 3])
def test_bounded_search_scores_few_vectors_exactly_and_agrees_across_threads(bits):
    index = SkerryIndex(64, bits)
    index.add(vectors(3000, 64))
    queries = vectors(20, 64, seed=1)
    offered, verified = _varnel._verification_counts()
    scores, positions = index.search(queries, 10)
    now_offered, now_verified = _varnel._verification_counts()
    assert now_offered - offered == 20 * 3000
    # The first ten per query always are; the bound rules most others out.
    assert 200 <= now_verified - verified < (now_offered - offered) // 4
    try:
        for threads in (1, 3):
            varnel.set_num_threads(threads)
            again = index.search(queries, 10)
            np.testing.assert_array_equal(again[0].view(np.uint32), scores.view(np.uint32))
            np.testing.assert_array_equal(again[1], positions)
    finally:
        varnel.set_num_threads(0)
