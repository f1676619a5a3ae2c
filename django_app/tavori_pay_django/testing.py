"""A property test of a shop's own payment code: `check_payment_flows` runs
the shop's checkout and its real receivers through every way a payment can
go, and checks the shop's promise after each step.

    @pytest.mark.django_db(transaction=True)
    def test_every_paid_order_is_fulfilled_once(tavori_sandbox):
        check_payment_flows(tavori_sandbox, start=lambda: checkout(client),
                            invariant=lambda payment: assert_fulfilled_once_if_paid(payment))

Each example starts a payment with `start()` and then, in an order
hypothesis chooses (after a few scripted ones that catch the commonest
faults on every run), moves it at the service (pay, decline, expire, settle,
refund), delivers its callbacks (twice, late, out of order) or loses them,
cuts a delivery off after the receivers returned (the process died before
the commit: their writes are undone, what they did outside the database is
not, and the event is delivered again), reconciles, dispatches, and turns
the task backend on and off. `invariant(payment)` runs after every step;
at the end every callback is delivered, reconciliation and dispatch run,
and the package's own promises are checked too: the payment is in the
service's state and every receiver took every stage. A failure is shown as
the shortest sequence of steps hypothesis found, in words, then the
shop's assertion."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from django.conf import settings
from django.db import connections, router
from django.test import Client
from django.test.utils import override_settings
from django.urls import reverse

from . import callbacks, conf
from .delivery import after_commit, dispatcher
from .models import Payment, PaymentEvent
from .reconcile import reconcile

if TYPE_CHECKING:
    from tavori_pay_sandbox import Sandbox

# What each move at the service makes of an order, and the moves an order
# in each status can make.
MOVES = {"pay": "paid", "decline": "failed", "expire": "expired", "settle": "settled", "refund": "refunded"}
# Paying comes up more often than the ends a buyer rarely meets.
NEXT = {"pending": ["pay", "pay", "decline", "expire"], "paid": ["settle", "refund"], "settled": ["refund"]}
# The ways a shop's receivers most often go wrong, run first on every call,
# since hypothesis may draw them late: a delivery cut off after the receivers
# returned (an effect outside the database done twice), a callback delivered
# twice, the settlement before the payment, a lost callback found by
# reconciliation, a refund before the payment, a decline delivered twice.
SCENARIOS: list[list[tuple[Any, ...]]] = [
    [("move", "pay"), ("deliver", 0, True), ("dispatch_now",)],
    [("move", "pay"), ("deliver", 0), ("deliver_again", 0)],
    [("move", "pay"), ("move", "settle"), ("deliver", 1), ("deliver", 0)],
    [("move", "pay"), ("lose", 0), ("reconcile_now",)],
    [("move", "pay"), ("move", "refund"), ("deliver", 1), ("deliver", 0)],
    [("move", "decline"), ("deliver", 0), ("deliver_again", 0)],
]
# The TASKS alias the flows deliver through while the task backend is on.
TASKS_ALIAS = "tavori_pay_flows"
STEPS = 8


class PaymentFlowFailed(AssertionError):
    """The steps that broke the shop's promise (or the package's), then why."""


@dataclass(frozen=True)
class _Callback:
    number: int  # in the order the service sent them
    status: str
    body: bytes
    signature: str


class _CutOff(BaseException):
    """A delivery's process dying after its receivers returned, before its
    commit: nothing in the process catches it."""


def check_payment_flows(sandbox: Sandbox, *, start: Callable[[], Payment],
                        invariant: Callable[[Payment], object], examples: int = 50) -> None:
    """Runs `examples` payment flows through the shop's own code against
    `sandbox` (the pytest plugin's `tavori_sandbox`, or SandboxMixin's).
    Needs a test whose transactions commit (`django_db(transaction=True)`,
    TransactionTestCase, LiveServerTestCase): events are delivered after
    the commit. Raises PaymentFlowFailed with the steps, in words."""
    import hypothesis
    from hypothesis import HealthCheck
    from hypothesis.stateful import run_state_machine_as_test

    alias = router.db_for_write(Payment)
    if connections[alias].in_atomic_block:
        raise RuntimeError("check_payment_flows needs a test whose transactions commit (pytest's "
                           "django_db(transaction=True), TransactionTestCase or LiveServerTestCase): payment events "
                           "are delivered after the commit, which a TestCase never makes")
    words: list[list[str]] = [[]]
    flows = _flows(sandbox, start, invariant, words)
    with _sandbox_sends_nothing(sandbox), _cut_offs() as cut:
        flows.cut = cut
        try:
            for scenario in SCENARIOS:
                machine = flows()
                try:
                    machine.begin()
                    for name, *arguments in scenario:
                        getattr(machine, name)(*arguments)
                finally:
                    machine.teardown()
            run_state_machine_as_test(flows, settings=hypothesis.settings(
                max_examples=examples, stateful_step_count=STEPS, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture,
                                       HealthCheck.filter_too_much]))
        except PaymentFlowFailed:
            raise
        except Exception as error:
            raise PaymentFlowFailed(f"{' → '.join(words[0])}\n{type(error).__name__}: {error}") from error


@contextmanager
def _sandbox_sends_nothing(sandbox: Sandbox) -> Iterator[None]:
    """The flows deliver each callback themselves, when and as often as they
    choose: the sandbox's own deliveries are all dropped meanwhile."""
    sandbox.drop_deliveries(10**9)
    try:
        yield
    finally:
        sandbox.faults.clear()


class _Cut:
    """Cuts the next delivery made on this thread off after its receivers
    returned, as the process dying before the commit would."""

    def __init__(self) -> None:
        self.armed, self.returned, self.thread = False, list[str](), threading.current_thread()

    def deliver(self, payment_id: int) -> list[str]:
        """The receivers that returned before the cut."""
        self.armed, self.returned = True, []
        try:
            dispatcher.deliver_payments([payment_id])
        except _CutOff:
            pass
        finally:
            self.armed = False
        return self.returned


@contextmanager
def _cut_offs() -> Iterator[_Cut]:
    cut, record = _Cut(), dispatcher._record

    def record_unless_cut_off(alias: str, events: list[PaymentEvent]) -> None:
        if cut.armed and threading.current_thread() is cut.thread:
            cut.armed = False
            cut.returned = sorted({name for event in events for name in event.receivers_returned()})
            raise _CutOff
        record(alias, events)

    dispatcher._record = record_unless_cut_off
    try:
        yield cut
    finally:
        dispatcher._record = record


def _immediate_backend() -> str | None:
    if not conf.tasks_framework():
        return None
    try:
        import django.tasks  # noqa: F401
    except ImportError:
        return "django_tasks.backends.immediate.ImmediateBackend"
    return "django.tasks.backends.immediate.ImmediateBackend"


def _flows(sandbox: Sandbox, start: Callable[[], Payment], invariant: Callable[[Payment], object],
           words: list[list[str]]) -> Any:
    from hypothesis import strategies
    from hypothesis.stateful import RuleBasedStateMachine, initialize, precondition, rule

    from tavori_pay_sandbox.deliveries import callback_body

    client, notify, immediate = Client(), reverse("tavori_pay:notify"), _immediate_backend()

    class Flows(RuleBasedStateMachine):
        cut: _Cut

        def __init__(self) -> None:
            super().__init__()
            words[0] = self.said = ["start"]
            self.failed = False  # a step did not end well: the steps said are the failing sequence
            self.payment: Payment | None = None
            self.stages = ["pending"]  # what the service has done with the order, stage by stage
            self.waiting: list[_Callback] = []  # sent by the service, not yet delivered
            self.delivered: list[_Callback] = []
            self.tasks: override_settings | None = None

        @initialize()
        def begin(self) -> None:
            payment = start()
            if not isinstance(payment, Payment) or not payment.order_id:
                raise TypeError(f"start() must return the Payment it started, with its order at the service, not "
                                f"{payment!r}")
            self.payment = payment
            self.check()

        @property
        def current(self) -> Payment:
            assert self.payment is not None
            return Payment.objects.using(router.db_for_read(Payment)).get(pk=self.payment.pk)

        def say(self, step: str) -> None:
            """A step begins; it ends well with check()."""
            self.said.append(step)
            self.failed = True

        def check(self) -> None:
            invariant(self.current)
            self.failed = False

        # The steps, each said in words, then the shop's invariant.

        def move(self, move: str) -> None:
            self.say(move)
            order = getattr(sandbox, move)(self.current.order_id)
            assert order is not None, f"the sandbox refused to {move} the order"
            self.stages.append(MOVES[move])
            body = callback_body(order, MOVES[move])
            self.waiting.append(_Callback(len(self.stages), MOVES[move], body.encode(), sandbox.sign(body)))
            self.check()

        def deliver(self, index: int, cut_off: bool = False) -> None:
            """The waiting callback `index` delivered; `cut_off`: its delivery
            cut off after the receivers returned."""
            callback = self.waiting.pop(index)
            when = (" out of order" if any(other.number < callback.number for other in self.waiting) else
                    " late" if any(other.number > callback.number for other in self.delivered) else "")
            self.delivered.append(callback)
            self.say(f"callback {callback.status} delivered{when}")
            if not cut_off:
                self._post(callback)
            else:
                with after_commit.kept():  # answered; its delivery is made, and cut off, below
                    answer = callbacks.receive(callback.body, callback.signature)
                assert answer.status == 200, f"the notify view answered {answer.status}: {answer.text}"
                returned = self.cut.deliver(self.current.pk)
                self.said[-1] += f", delivery cut off after {', '.join(returned) or 'no receiver'} returned"
            self.check()

        def deliver_again(self, index: int) -> None:
            callback = self.delivered[index]
            self.say(f"callback {callback.status} delivered twice")
            self._post(callback)
            self.check()

        def lose(self, index: int) -> None:
            callback = self.waiting.pop(index)
            self.say(f"callback {callback.status} lost")
            self.check()

        def reconcile_now(self) -> None:
            self.say("reconcile")
            reconcile([self.current.pk])
            self.check()

        def dispatch_now(self) -> None:
            self.say("dispatch")
            dispatcher.deliver_due_events(ignore_backoff=True)
            self.check()

        # The rules hypothesis draws them by.

        @precondition(lambda self: self.stages[-1] in NEXT)
        @rule(data=strategies.data())
        def move_at_the_service(self, data: Any) -> None:
            self.move(data.draw(strategies.sampled_from(NEXT[self.stages[-1]])))

        @precondition(lambda self: self.waiting)
        @rule(data=strategies.data())
        def deliver_a_callback(self, data: Any) -> None:
            self.deliver(data.draw(strategies.integers(0, len(self.waiting) - 1)))

        @precondition(lambda self: self.delivered)
        @rule(data=strategies.data())
        def deliver_a_callback_again(self, data: Any) -> None:
            self.deliver_again(data.draw(strategies.integers(0, len(self.delivered) - 1)))

        @precondition(lambda self: self.waiting)
        @rule(data=strategies.data())
        def lose_a_callback(self, data: Any) -> None:
            self.lose(data.draw(strategies.integers(0, len(self.waiting) - 1)))

        @precondition(lambda self: self.waiting)
        @rule(data=strategies.data())
        def deliver_a_callback_and_cut_its_delivery_off(self, data: Any) -> None:
            self.deliver(data.draw(strategies.integers(0, len(self.waiting) - 1)), cut_off=True)

        def moved(self) -> bool:
            """Whether the service has done anything yet."""
            return len(self.stages) > 1

        def behind(self) -> bool:
            """Whether the payment is not yet where the service is: asking
            finds something."""
            return self.current.status != self.stages[-1]

        def waiting_for_receivers(self) -> bool:
            """Whether the payment has events some receiver has not taken:
            a dispatch hands something over."""
            return PaymentEvent.objects.using(router.db_for_read(PaymentEvent)).filter(
                payment_id=self.current.pk, delivered_at=None).exists()

        @precondition(behind)
        @rule()
        def reconcile(self) -> None:
            self.reconcile_now()

        @precondition(waiting_for_receivers)
        @rule()
        def dispatch(self) -> None:
            self.dispatch_now()

        @precondition(lambda self: immediate is not None and self.moved())
        @rule()
        def turn_the_task_backend_on_or_off(self) -> None:
            if self.tasks is None:
                self.say("task backend on")
                self.tasks = override_settings(
                    TASKS={**(getattr(settings, "TASKS", None) or {}), TASKS_ALIAS: {"BACKEND": immediate}},
                    TAVORI_PAY={**(getattr(settings, "TAVORI_PAY", None) or {}), "TASK_BACKEND": TASKS_ALIAS})
                self.tasks.enable()
            else:
                self.say("task backend off")
                self._tasks_off()
            self.check()

        def _tasks_off(self) -> None:
            if self.tasks is not None:
                self.tasks.disable()
                self.tasks = None

        def _post(self, callback: _Callback) -> None:
            answer = client.post(notify, callback.body, content_type="application/json",
                                 HTTP_X_TAVORI_SIGNATURE=callback.signature)
            assert answer.status_code == 200, f"the notify view answered {answer.status_code}"

        def teardown(self) -> None:
            try:
                if self.payment is None or self.failed:
                    return
                self.say("then every callback delivered, reconcile, dispatch")
                for callback in self.waiting:
                    self._post(callback)
                reconcile([self.payment.pk])
                dispatcher.deliver_due_events(ignore_backoff=True)
                payment = self.current
                assert payment.status == self.stages[-1], (
                    f"the payment is {payment.status}, the service says {self.stages[-1]}")
                announced = list(payment.events.filter(kind=PaymentEvent.STATUS).values_list("stage", flat=True))
                assert announced == self.stages[1:], (
                    f"the stages announced are {announced}, the service went through {self.stages[1:]}")
                for event in payment.events.filter(delivered_at=None):
                    raise AssertionError(f"event {event.pk} ({event.stage}) was not taken by "
                                         f"{', '.join(event.receivers_waiting()) or 'every receiver'}: "
                                         f"{event.last_error.strip().splitlines()[-1] if event.last_error else ''}")
                invariant(payment)
            finally:
                self._tasks_off()

    return Flows
