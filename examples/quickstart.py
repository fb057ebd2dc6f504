"""A first look at sorvane: one state, a few decisions, rewards, persistence."""
import sorvane

state = sorvane.create(bits=16, horizon=60.0, epsilon=0.1)
print("model bits:", sorvane.model_bits(state))

candidates = [("tea", {"price": 2.5}), ("coffee", {"price": 3.0}), ("juice", {"price": 4.0})]
for step in range(5):
    context = {"hour": 8 + step, "weather": "rain" if step % 2 else "sun"}
    record = sorvane.decide(state, context, candidates, t=float(step), salt="demo")
    print(sorvane.log_line(record))
    resolution = sorvane.learn(state, record.decision_id, 1.0 if record.chosen == 1 else 0.0, t=step + 1.0)
    assert resolution is not None  # the id was pending
    print(sorvane.log_line(resolution))

restored = sorvane.deserialize(sorvane.serialize(state))
print("snapshot round trip exact:", sorvane.serialize(restored) == sorvane.serialize(state))
