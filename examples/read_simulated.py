import vozi
with vozi.simulate(), vozi.open(period=0.001) as dev:
    data = dev.read(seconds=1)
    for channel, column in zip(dev.channels, data.T):
        print(f"{channel.name:8} {column.min():9.3f} {column.max():9.3f} {channel.units}")
