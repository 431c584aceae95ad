"""Which values make a total, over the service: the subset route's problem
and answer. The front end reads a problem with read_problem(), the engine
queues it as a job of its own kind, and a solver process answers it with
solve_blob():

    POST /v0/app/subset          same key header as a submit
      body {"values":[3,-5,7],"total":2}
      answer as a submit: {"requestId":"..."} or a refusal {"message":"..."}
    GET  /v0/subset?requestId=ID polled like /v0/result
      ready: 200 {"indices":[1,2]} or {"found":false}
      before: the not-ready answer of /v0/result; {"error":"..."} ends it

The values may be negative, their magnitudes summing to at most 2**64 - 1;
the total is any integer. A client sums the answer itself before it trusts
it, as the service does before it stores it.
"""

import dataclasses
import hashlib
import json

from .protocol import MAX_U64

BAD_SUBSET = ("Expected a JSON object with values (integers whose magnitudes sum "
              "to at most 18446744073709551615) and an integer total")
WRONG_ANSWER = "The subset found does not sum to the total"
# A subset solve holds about 2.5 bitsets of its magnitudes' sum at its
# peak; the service's limits, made for one bitset and its compressed form,
# count it as a bitset problem this many times larger.
WEIGHT = 2
# Up to this many values the solver meets in the middle whenever bitsets
# would cost more, in at most 64 MiB: as much as a bitset problem of
# FEW_VALUES_WEIGHT, whatever the magnitudes.
FEW_VALUES = 40
FEW_VALUES_WEIGHT = 1 << 28


@dataclasses.dataclass
class SubsetProblem:
    blob: bytes  # the problem as stored: canonical JSON, the body's form
    count: int
    magnitude: int  # the sum of the values' magnitudes: the solve's size
    digest: str

    def __len__(self):
        return self.count

    @property
    def weight(self):
        """The total of a bitset problem that needs as much of a solver."""
        weight = self.magnitude * WEIGHT
        if self.count <= FEW_VALUES:
            weight = min(weight, FEW_VALUES_WEIGHT)
        return weight


def parse_subset_problem(body):
    """(values, total) of a subset body, or None when it is not one."""
    try:
        problem = json.loads(body)
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None
    if type(problem) is not dict or set(problem) != {"values", "total"}:
        return None
    values, total = problem["values"], problem["total"]
    # bool is an int subclass, and JSON true/false are not values.
    if type(values) is not list or type(total) is not int:
        return None
    if any(type(v) is not int for v in values):
        return None
    if sum(abs(v) for v in values) > MAX_U64:
        return None
    return values, total


def read_problem(body):
    """The SubsetProblem of a body, or None when it is not one."""
    problem = parse_subset_problem(body)
    if problem is None:
        return None
    values, total = problem
    blob = json.dumps({"values": values, "total": total}, separators=(",", ":")).encode()
    return SubsetProblem(blob, len(values), sum(abs(v) for v in values),
                         hashlib.sha256(blob).hexdigest())


def answer_sums(values, total, indices):
    """Whether indices are ascending, distinct, in range and sum to total."""
    return (all(type(i) is int for i in indices)
            and all(a < b for a, b in zip(indices, indices[1:], strict=False))
            and all(0 <= i < len(values) for i in indices)
            and sum(values[i] for i in indices) == total)


def subset_answer(indices):
    """The ready poll body for a subset (a list of indices) or None (no subset)."""
    if indices is None:
        return b'{"found":false}'
    return b'{"indices":[%s]}' % ",".join(str(i) for i in indices).encode()


def solve_blob(blob, subset_with_sum):
    """The ready poll body of a stored problem; subset_with_sum(values,
    total) gives the indices or None. An answer that does not sum raises
    ValueError: it is a failure, never stored as a subset."""
    problem = parse_subset_problem(blob)
    if problem is None:
        raise ValueError("not a subset problem")
    values, total = problem
    indices = subset_with_sum(values, total)
    if indices is not None:
        indices = list(indices)
        if not answer_sums(values, total, indices):
            raise ValueError(WRONG_ANSWER)
    return subset_answer(indices)
