"""Short seeded fuzz run: every function of the table in argtable.py, every
mutation family of fuzzing.py, a few seeds each (scripts/fuzz_campaign.py
runs the long campaign)."""
import pytest

import fuzzing
from argtable import ENTRIES

SEEDS = range(6)

# Faults the fuzzing found that are not fixed yet, by function id and
# family: unnamed rank/dtype/device errors, conj/negative views read raw,
# overlapping written tensors accepted, 32-bit range of positions, planes and
# margins, layer thicknesses near INT32_MIN, Update_E_Periodic's partial write.
KNOWN = {tuple(line.split()) for line in """
    Voxstep.Inject_E alias
    Voxstep.Inject_E conj
    Voxstep.Inject_E expand
    Voxstep.Inject_E ints
    Voxstep.Inject_E rank_dtype
    Voxstep.Inject_H alias
    Voxstep.Inject_H conj
    Voxstep.Inject_H device
    Voxstep.Inject_H expand
    Voxstep.Inject_H ints
    Voxstep.Inject_H rank_dtype
    Voxstep.Inject_J alias
    Voxstep.Inject_J conj
    Voxstep.Inject_J expand
    Voxstep.Inject_J ints
    Voxstep.Inject_J rank_dtype
    Voxstep.Monitor_Update_E alias
    Voxstep.Monitor_Update_E conj
    Voxstep.Monitor_Update_E device
    Voxstep.Monitor_Update_E expand
    Voxstep.Monitor_Update_E rank_dtype
    Voxstep.Set_ER_average alias
    Voxstep.Set_ER_average conj
    Voxstep.Set_ER_average device
    Voxstep.Set_ER_average rank_dtype
    Voxstep.Update_E alias
    Voxstep.Update_E conj
    Voxstep.Update_E layers
    Voxstep.Update_E rank_dtype
    Voxstep.Update_E_Dispersion alias
    Voxstep.Update_E_Dispersion conj
    Voxstep.Update_E_Dispersion device
    Voxstep.Update_E_Dispersion expand
    Voxstep.Update_E_Dispersion rank_dtype
    Voxstep.Update_E_Periodic alias
    Voxstep.Update_E_Periodic conj
    Voxstep.Update_E_Periodic device
    Voxstep.Update_E_Periodic expand
    Voxstep.Update_E_Periodic rank_dtype
    Voxstep.Update_H alias
    Voxstep.Update_H conj
    Voxstep.Update_H expand
    Voxstep.Update_H rank_dtype
    Voxstep.get_id_range device
    Voxstep4.Inject_E alias
    Voxstep4.Inject_E conj
    Voxstep4.Inject_E rank_dtype
    Voxstep4.Inject_H alias
    Voxstep4.Inject_H conj
    Voxstep4.Inject_H device
    Voxstep4.Inject_H expand
    Voxstep4.Inject_H ints
    Voxstep4.Inject_H rank_dtype
    Voxstep4.Inject_J alias
    Voxstep4.Inject_J conj
    Voxstep4.Inject_J device
    Voxstep4.Inject_J expand
    Voxstep4.Inject_J ints
    Voxstep4.Inject_J rank_dtype
    Voxstep4.Set_ER_average alias
    Voxstep4.Set_ER_average conj
    Voxstep4.Set_ER_average device
    Voxstep4.Set_ER_average rank_dtype
    Voxstep4.Set_sigma_average alias
    Voxstep4.Set_sigma_average conj
    Voxstep4.Set_sigma_average device
    Voxstep4.Set_sigma_average rank_dtype
    Voxstep4.Update_E alias
    Voxstep4.Update_E conj
    Voxstep4.Update_E expand
    Voxstep4.Update_E layers
    Voxstep4.Update_E rank_dtype
    Voxstep4.Update_E_Dispersion alias
    Voxstep4.Update_E_Dispersion conj
    Voxstep4.Update_E_Dispersion device
    Voxstep4.Update_E_Dispersion expand
    Voxstep4.Update_E_Dispersion rank_dtype
    Voxstep4.Update_E_Periodic alias
    Voxstep4.Update_E_Periodic conj
    Voxstep4.Update_E_Periodic device
    Voxstep4.Update_E_Periodic expand
    Voxstep4.Update_E_Periodic rank_dtype
    Voxstep4.Update_H alias
    Voxstep4.Update_H conj
    Voxstep4.Update_H expand
    Voxstep4.Update_H rank_dtype
    Voxstep4.get_id_range device
    Voxstep4.get_id_range rank_dtype
    _voxstep_host.Mat_average conj
    _voxstep_host.Mat_average device
    _voxstep_host.Mat_average rank_dtype
    _voxstep_host.Set_ER_subcell alias
    _voxstep_host.Set_ER_subcell conj
    _voxstep_host.Set_ER_subcell device
    _voxstep_host.Set_ER_subcell rank_dtype
    _voxstep_host.Set_weight_mat_id alias
    _voxstep_host.Set_weight_mat_id conj
    _voxstep_host.Set_weight_mat_id device
    _voxstep_host.Set_weight_mat_id expand
    _voxstep_host.Set_weight_mat_id rank_dtype
    _voxstep_host.Set_weight_subcell alias
    _voxstep_host.Set_weight_subcell conj
    _voxstep_host.Set_weight_subcell device
    _voxstep_host.Set_weight_subcell rank_dtype
    _voxstep_host.Trilinear_interpolation conj
    _voxstep_host.Trilinear_interpolation rank_dtype
    _voxstep_host.Trilinear_reverse_interpolation conj
    _voxstep_host.Trilinear_reverse_interpolation rank_dtype
""".strip().splitlines()}
# Not run: positions past the 32-bit range write or read outside the fields
# and can take the process down.
CRASHES = {("Voxstep.Inject_J", "ints"), ("Voxstep4.Inject_J", "ints"),
           ("Voxstep.Monitor_Update_E", "ints")}


def _param(entry, family):
    key = (entry.id, family)
    marks = []
    if key in CRASHES:
        marks.append(pytest.mark.skip(reason="writes outside the fields"))
    elif key in KNOWN:
        marks.append(pytest.mark.xfail(strict=True, reason="known fault, not fixed yet"))
    return pytest.param(entry, family, id=f"{entry.id}-{family}", marks=marks)


@pytest.mark.parametrize("entry,family", [_param(e, f) for e in ENTRIES
                                          for f in fuzzing.FAMILIES])
def test_fuzz(entry, family):
    counts, failures = fuzzing.run(entry, family, SEEDS)
    assert not failures, "\n".join(f"seed {s}: {msg}" for s, _, msg in failures)
